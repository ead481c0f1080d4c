#pragma once

// The scanner of raw H.264 streams, made the way the tests make their other scanners: from a session.

#include "h264/H264Codec.h"
#include "scan/StreamParser.h"

class TH264StreamParser : public TStreamParser {
public:
    explicit TH264StreamParser(TScanSession &session) : TStreamParser(session, H264Codec()) {}
};
