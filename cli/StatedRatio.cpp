#include "StatedRatio.h"

#include "base/FormatFacts.h"

std::string RatioText(TRatio ratio) {
    return std::to_string(ratio.X) + ":" + std::to_string(ratio.Y);
}

bool IsRatio(TRatio ratio) {
    return ratio.X > 0 && ratio.Y > 0;
}

const TTrack *StatingTrack(const TScanSession &session, const TTrack *track) {
    if (track == nullptr || !FormatStatesAspectRatio(session.Format) || !track->HasStatement() ||
        !IsRatio(track->StatedDisplayAspectRatio()))
        return nullptr;
    return track;
}
