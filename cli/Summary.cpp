#include "Summary.h"

void TSummary::Count(TFileStatus status) {
    ++Files;
    switch (status) {
    case TFileStatus::Listed:
        ++Listed;
        break;
    case TFileStatus::Changed:
        ++Changed;
        break;
    case TFileStatus::Unchanged:
        ++Unchanged;
        break;
    case TFileStatus::Refused:
        ++Refused;
        break;
    case TFileStatus::Failed:
        ++Failed;
        break;
    }
}
