#include "FormatFacts.h"

#include "AppTexts.h"
#include "Exceptions.h"

namespace {

using enum TPreviewSeek;

constexpr std::array<const char *, 2> NoCodec{nullptr, nullptr};

constexpr TFormatFacts Facts[] = {
    {TFileFormat::RawH264, "raw H.264 stream", "a", false, ByByte, {"h264", nullptr}},
    {TFileFormat::RawHevc, "raw HEVC stream", "a", false, ByByte, {"hevc", nullptr}},
    {TFileFormat::RawMpegVideo,
     "raw MPEG-1/MPEG-2 video stream",
     "a",
     false,
     ByByte,
     {"mpeg2video", "mpeg1video"}},
    {TFileFormat::RawMpeg4Visual,
     "raw MPEG-4 Part 2 video stream",
     "a",
     false,
     ByByte,
     {"mpeg4visual", nullptr}},
    {TFileFormat::Avi, "AVI (RIFF)", "an", true, ByTime, NoCodec},
    {TFileFormat::Mp4, "MP4 (ISO base media)", "an", true, ByTime, NoCodec},
    {TFileFormat::Matroska, "Matroska", "a", true, ByTime, NoCodec},
    // Matroska under another DocType, read as Matroska whatever its tracks hold.
    {TFileFormat::WebM, "WebM", "a", true, ByTime, NoCodec},
    {TFileFormat::MpegTs, "MPEG-TS (transport stream)", "an", false, ByByte, NoCodec},
    {TFileFormat::M2ts, "M2TS (MPEG-TS with time codes)", "an", false, ByByte, NoCodec},
    {TFileFormat::MpegTs204, "MPEG-TS (transport stream with 204-byte packets)", "an", false, ByByte,
     NoCodec},
    {TFileFormat::MpegPs, "MPEG-PS (program stream, VOB/MPG)", "an", false, ByByte, NoCodec},
    {TFileFormat::Flv, "FLV (Flash Video)", "an", false, ByTime, NoCodec},
    {TFileFormat::Asf, "ASF (Windows Media)", "an", false, ByTime, NoCodec},
    {TFileFormat::Mxf, "MXF (Material Exchange Format)", "an", false, ByTime, NoCodec},
    {TFileFormat::Nut, "NUT", "a", false, ByTime, NoCodec},
    {TFileFormat::Unknown, "unknown format", "an", false, ByTime, NoCodec},
};

} // namespace

std::span<const TFormatFacts> AllFormatFacts() {
    return Facts;
}

const TFormatFacts &FormatFactsOf(TFileFormat format) {
    for (const TFormatFacts &facts : Facts)
        if (facts.Format == format)
            return facts;
    return Facts[std::size(Facts) - 1]; // the unknown format's
}

std::string FormatName(TFileFormat format) {
    return FormatFactsOf(format).Name;
}

std::string FormatNameWithArticle(TFileFormat format) {
    const TFormatFacts &facts = FormatFactsOf(format);
    return std::string(facts.Article) + " " + facts.Name;
}

std::string FormatNotReadText(TFileFormat format, TFileFormat readAs) {
    if (format == TFileFormat::Unknown)
        return SUnknownFormat;
    if (FormatFactsOf(format).CodecKeys[0] != nullptr)
        return Format(SStreamNotRead, FormatNameWithArticle(format));
    return Format(SContainerNotRawStream, FormatNameWithArticle(format), FormatNameWithArticle(readAs));
}

bool FormatStatesAspectRatio(TFileFormat format) {
    return FormatFactsOf(format).StatesAspectRatio;
}
