#pragma once

#include "Parser.h"

#include <cstdint>

// MPEG program streams (ISO/IEC 13818-1 2.5: .mpg, .mpeg, .vob, .mod, .tod; DVD's 2048-byte packs) and
// MPEG-1 system streams (ISO/IEC 11172-1). Walks the file packet by packet, each packet's length given by
// its header: pack headers of either standard, system headers, padding, private and audio streams are
// passed over; the PES packets of each video stream (stream_id 0xE0 to 0xEF) are read (PesReader, either
// standard's header) and their data read as one byte stream across packs (UnitCollector), so that a unit
// split between packs is found whole, with the file offset of each of its bytes. A video stream's codec is
// the one a program stream map names by stream_type; where none does, the stream's first PES packet that
// begins as an access unit of a codec the program reads (a sequence header, an access unit delimiter)
// tells it, or its very first one when it opens an elementary stream of a known codec (H.264 muxed without
// delimiters begins with its SPS). Video of a codec the program does not read is named, not read. The
// stream states no ratio of its own.
//
// Bytes that are no packet are skipped up to the next pack or packet start code and told; a unit whose
// bytes span them, or a PES packet whose header is damaged, is listed but not changeable; so is one under
// a PES CRC. Memory stays bounded: a block of the file and, per stream, the unit being read.
class TPSParser : public TParser {
public:
    explicit TPSParser(TScanSession &session);
    ~TPSParser() override;

protected:
    void Walk(TStream &stream) override;

private:
    class TWalk;
};
