#pragma once

#include "base/Streams.h"
#include "h264/uH264.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TFastBitstream;

// ---- Aspect-ratio records ----

// The display aspect ratio an AVI stream states to players in its video properties chunk ("vprp"):
// dwFrameAspectRatio, width term in the high 16 bits and height term in the low 16 bits, beside the
// frame size it applies to. Players built on libavformat take the aspect ratio from here, not from the SPS.
struct TContainerAspectRatio {
    int StreamNumber = 0;
    int64_t Position = 0; // file offset of dwFrameAspectRatio
    uint16_t X = 0;
    uint16_t Y = 0;
    uint32_t FrameWidth = 0;
    uint32_t FrameHeight = 0;
    std::string Text() const { return std::to_string(X) + ":" + std::to_string(Y); }
};

// One SPS with a usable sample aspect ratio: its current values, the new values chosen by the user,
// the texts of its row, and the in-place write of the change.
class TARInfo {
public:
    uint8_t CurrentAspectRatioIdc() const;
    int32_t CurrentSarWidth() const;
    int32_t CurrentSarHeight() const;
    int32_t ResolvedNewSarWidth() const;
    int32_t ResolvedNewSarHeight() const;
    bool IsChanged() const;
    uint8_t EffectiveAspectRatioIdc() const;
    int32_t EffectiveSarWidth() const;
    int32_t EffectiveSarHeight() const;
    bool IsPredefined() const;
    bool KeepsKind() const;
    int32_t Width() const;
    int32_t Height() const;
    int32_t SpsId() const;
    std::string TypeText() const;
    std::string SarText() const;
    std::string ResolutionText() const;
    std::string DarText() const;
    void Reset();
    bool WriteTo(TFastBitstream &writer);

    // Why the change can not be written in place into the stream the reader is attached to, or an
    // empty text when it can. Reads the file; writes nothing.
    std::string WriteRefusal(TFastBitstream &reader) const;
    // Whether the file holds, at the recorded position, the aspect ratio the SPS has in memory.
    bool FileHoldsCurrentValues(TFastBitstream &reader) const;

    int32_t NewSarWidth = 0;
    int32_t NewSarHeight = 0;
    uint8_t NewAspectRatioIdc = 0;
    TSequenceParameterSet *SequenceParameterSet = nullptr; // not owned
    // For an SPS of an AVI stream: the stream's number and its container aspect ratio, if it has one.
    int StreamNumber = -1;
    TContainerAspectRatio *ContainerAspectRatio = nullptr; // not owned

private:
    struct TWriteSpan {
        int64_t Position;  // byte of the first bit written
        uint8_t BitOffset; // that bit within the byte
        int BitCount;      // 8 for a predefined code, 40 with sar_width and sar_height
        uint64_t Bits;     // the new bits, most significant first
    };
    TWriteSpan Span() const;
};

// A record that can not be written, with the reason.
struct TWriteRefusal {
    size_t Index;
    std::string Reason;
};

// What a save does with the container aspect ratio of one stream: the display aspect ratio that the
// new SAR of the stream's changed records gives at its frame size, or a conflict when they give several.
struct TContainerChange {
    TContainerAspectRatio *Target = nullptr;
    TRatio NewRatio;
    bool Conflicting = false;
    size_t FirstIndex = 0; // the first changed record of the stream
};

class TARInfoList {
public:
    void Add(std::unique_ptr<TARInfo> info);
    void Clear();
    size_t Count() const { return FItems.size(); }
    TARInfo *Items(size_t index) const; // raises std::out_of_range outside 0 .. Count - 1
    bool CanSave() const;
    void ResetAll();
    // Checks every changed record against the file before anything is written: the kind, the range of
    // custom terms, emulation prevention around the bits and the values the scan saw.
    std::vector<TWriteRefusal> CheckChanges(TStream &stream) const;
    // Writes every changed record in place. Raises Exception, writing nothing, when CheckChanges
    // refuses any record, and after writing when a record does not read back as written.
    bool WriteChanges(TStream &stream);
    // The container aspect ratios a save will change or, where the changed records disagree, leave.
    std::vector<TContainerChange> PlanContainerChanges() const;
    // One line per stream whose container aspect ratio a save changes or leaves unchanged.
    std::vector<std::string> DescribeContainerChanges() const;

private:
    std::vector<std::unique_ptr<TARInfo>> FItems;
};

// ---- Scanners ----

using TNALUnitList = std::vector<std::unique_ptr<TNALUnit>>;
using TProgressEvent = std::function<void(const std::string &text, int64_t position, int64_t total)>;
using TFoundEvent = std::function<void(TARInfo *info, TARInfoList *list, TNALUnitList *nalUnits)>;
// Asked when a video stream's handler code is not an H.264 code; true scans the file anyway.
using TForeignHandlerEvent = std::function<bool(const std::string &fourCC)>;

// The one record list of the process: created and destroyed by TRIFFParser, filled by both scanners.
extern TARInfoList *ARInfoList;

// The scanning contract shared by both scanners.
class TParser {
public:
    virtual ~TParser() = default;
    virtual void Parse(const std::string &fileName) = 0;

    // The per-NAL-unit step, with the reader on the first byte after a start code: keeps an SPS NAL
    // unit in NALUnits (and reports it) and returns it, or drops any other unit and returns null.
    TNALUnit *KeepNALUnit(TFastBitstream &reader);
    // The rest of the step: a record for a kept SPS that carries an aspect ratio, with the AVI stream
    // the SPS belongs to.
    void AddRecord(TNALUnit &unit, int streamNumber = -1, TContainerAspectRatio *container = nullptr);

    bool Aborted = false;
    TProgressEvent OnProgress;
    TFoundEvent OnFound;
    TNALUnitList NALUnits;
    int64_t FileSize = 0;

    // The progress report: "<position> / <total> Bytes".
    void ReportProgress(int64_t position, int64_t total) const;

protected:
    // Reports "Ready." when the scope of a scan ends, however it ends.
    class TReadyReport {
    public:
        explicit TReadyReport(const TParser &parser) : FParser(parser) {}
        ~TReadyReport();
        TReadyReport(const TReadyReport &) = delete;
        TReadyReport &operator=(const TReadyReport &) = delete;

    private:
        const TParser &FParser;
    };
};

// The name of the container format a file begins with, for the containers that store H.264 other than
// as a raw stream (length-prefixed NAL units, or a stream cut into packets with headers of their own);
// empty for anything else. RIFF is not among them: AVI carries raw streams.
std::string DetectContainer(TStream &stream);

// Raw H.264 elementary streams (Annex B), scanned from the first byte to the last. Containers found
// by DetectContainer are refused before the scan: start codes found in them are not NAL units.
class TStreamParser : public TParser {
public:
    void Parse(const std::string &fileName) override;
};

class TRIFFParser;

// One chunk of a RIFF file, with its sub-chunks for RIFF and LIST chunks.
class TGenericRIFFChunk {
public:
    explicit TGenericRIFFChunk(TGenericRIFFChunk *parent);
    ~TGenericRIFFChunk();
    TGenericRIFFChunk(const TGenericRIFFChunk &) = delete;
    TGenericRIFFChunk &operator=(const TGenericRIFFChunk &) = delete;

    void ClearChildren();
    bool IsFourCC(uint32_t code) const { return FourCC == code; }
    void ReadHeader(TStream *stream);
    void ReadChildren(TStream *stream, TGenericRIFFChunk *parent);
    // Scans the payload, from skip bytes into it, for NAL units of the given AVI stream.
    void ScanNALUnits(bool deepScan, int64_t skip = 0, int streamNumber = -1);
    // Forgets the NAL units of this chunk and its sub-chunks (they belong to the parser).
    void ForgetNALUnits();

    std::string ID;
    uint32_t FourCC = 0;
    uint32_t Size = 0;
    uint32_t ListType = 0;
    int64_t HeaderPos = 0;
    int64_t DataPos = 0;
    TGenericRIFFChunk *Parent = nullptr;
    std::vector<std::unique_ptr<TGenericRIFFChunk>> Children;
    TRIFFParser *Parser = nullptr;
    std::vector<TNALUnit *> NALUnits; // not owned

    bool IsList() const;
    // Bytes of the payload, or of the sub-chunk area behind a list's form type.
    int64_t ContentSize() const;
    // File offset just behind them.
    int64_t DataEnd() const;

private:
    // False when the user declined to scan a stream whose handler code is not H.264.
    bool CheckStreamHeader(TStream *stream);
    void ReadVideoProperties(TStream *stream);
    // The stream number of a data chunk "NNdc", or -1.
    int DataStreamNumber() const;
};

// AVI files: walks the first RIFF chunk and scans the payload of every "..dc" chunk for NAL units.
class TRIFFParser : public TParser {
public:
    TRIFFParser();
    ~TRIFFParser() override;
    void Parse(const std::string &fileName) override;

    std::unique_ptr<TGenericRIFFChunk> RootChunk;
    // The streams in the order of their "strl" lists: the type from the stream header and, for a
    // video stream with a properties chunk, its container aspect ratio.
    struct TStreamInfo {
        std::string Type;
        std::unique_ptr<TContainerAspectRatio> AspectRatio;
    };
    std::vector<TStreamInfo> Streams;
    // The top-level "RIFF" "AVIX" chunks that follow the first one in an OpenDML file, with their trees.
    std::vector<std::unique_ptr<TGenericRIFFChunk>> ExtensionChunks;
    std::unique_ptr<TFastBitstream> Bitstream; // exists only while Parse runs
    bool DeepScan = true;
    TForeignHandlerEvent OnForeignHandler;

private:
    void ReadExtensionChunks(TStream &file);

    std::unique_ptr<TARInfoList> FARInfoList;
};

uint32_t MakeFourCC(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
std::string FourCCToString(uint32_t code);
// The handler codes of H.264 video streams, compared without regard to letter case.
extern const std::array<const char *, 5> H264HandlerCodes;
bool IsH264HandlerCode(const std::string &fourCC);
