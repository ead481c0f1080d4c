#pragma once

// What a container states of a track's aspect ratio, as both reports tell it.

#include "base/Ratio.h"
#include "scan/ScanSession.h"

#include <string>

// The track, when its container states a usable display aspect ratio for it; null otherwise.
const TTrack *StatingTrack(const TScanSession &session, const TTrack *track);
