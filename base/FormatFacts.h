#pragma once

// What the programs know of each file format beyond telling it apart: its name, whether it states an
// aspect ratio beside the video's own, how a preview seeks in it, and which codec an elementary stream
// of it holds. One row per format.

#include "FileFormat.h"

#include <array>
#include <span>
#include <string>

// How a preview finds a place in a file: by time, through the file's index, or by byte, where the
// format has no index and a seek to a byte is cheap.
enum class TPreviewSeek { ByTime, ByByte };

struct TFormatFacts {
    TFileFormat Format;
    const char *Name;    // as the programs show it, e.g. "MP4 (ISO base media)"
    const char *Article; // in front of the name in sentences: "a" or "an"
    // Whether the format can state a video track's aspect ratio beside the SPS, which players then show
    // (AVI's video properties, MP4's pasp, Matroska's display size). Where it can not (raw streams,
    // transport streams), players and TVs read the SPS.
    bool StatesAspectRatio;
    TPreviewSeek PreviewSeek;
    // An elementary stream: the keys of the codecs whose streams are of the format, the first naming
    // its codec (MPEG-1 and MPEG-2 video share one format); none for every other format.
    std::array<const char *, 2> CodecKeys;
};

// Every row, in the order of TFileFormat.
std::span<const TFormatFacts> AllFormatFacts();
const TFormatFacts &FormatFactsOf(TFileFormat format);

// The name of a file format as the programs show it, e.g. "MP4 (ISO base media)".
std::string FormatName(TFileFormat format);
// The same behind its article, for sentences: "an MP4 (ISO base media)".
std::string FormatNameWithArticle(TFileFormat format);
// Why a file of the format is not read, as both programs tell it; a container is told apart from
// readAs, the raw stream it is not.
std::string FormatNotReadText(TFileFormat format, TFileFormat readAs = TFileFormat::RawH264);
bool FormatStatesAspectRatio(TFileFormat format);
