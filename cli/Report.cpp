#include "Report.h"

#include "JsonReport.h"
#include "TextReport.h"

std::unique_ptr<TReport> MakeReport(const TOptions &options, bool batch, std::ostream &out) {
    switch (options.Output) {
    case TOutputKind::Json:
        return std::make_unique<TJsonReport>(options, out);
    case TOutputKind::JsonLines:
        return std::make_unique<TJsonLinesReport>(options, out);
    case TOutputKind::Text:
        break;
    }
    return std::make_unique<TTextReport>(options, batch, out);
}
