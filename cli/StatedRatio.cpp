#include "StatedRatio.h"

#include "base/FormatFacts.h"

const TTrack *StatingTrack(const TScanSession &session, const TTrack *track) {
    if (track == nullptr || !FormatStatesAspectRatio(session.Format) || !track->HasStatement() ||
        !IsRatio(track->StatedDisplayAspectRatio()))
        return nullptr;
    return track;
}
