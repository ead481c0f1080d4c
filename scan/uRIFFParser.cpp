#include "uRIFFParser.h"

#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

namespace {

constexpr uint8_t ExtendedSar = 255;
constexpr int32_t MaxSarTerm = 65535;

} // namespace

// ---- TARInfo ----

uint8_t TARInfo::CurrentAspectRatioIdc() const {
    return SequenceParameterSet ? SequenceParameterSet->AspectRatioIdc() : 0;
}

int32_t TARInfo::CurrentSarWidth() const {
    return SequenceParameterSet ? SequenceParameterSet->SarWidth() : 0;
}

int32_t TARInfo::CurrentSarHeight() const {
    return SequenceParameterSet ? SequenceParameterSet->SarHeight() : 0;
}

int32_t TARInfo::ResolvedNewSarWidth() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return NewAspectRatioIdc == ExtendedSar ? NewSarWidth : PredefinedSarWidth(NewAspectRatioIdc);
}

int32_t TARInfo::ResolvedNewSarHeight() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return NewAspectRatioIdc == ExtendedSar ? NewSarHeight : PredefinedSarHeight(NewAspectRatioIdc);
}

bool TARInfo::IsChanged() const {
    if (NewAspectRatioIdc == 0)
        return false;
    if (NewAspectRatioIdc != ExtendedSar)
        return NewAspectRatioIdc != CurrentAspectRatioIdc();
    if (ResolvedNewSarWidth() <= 0 || ResolvedNewSarHeight() <= 0)
        return false;
    return ResolvedNewSarWidth() != CurrentSarWidth() || ResolvedNewSarHeight() != CurrentSarHeight() ||
           CurrentAspectRatioIdc() != ExtendedSar;
}

uint8_t TARInfo::EffectiveAspectRatioIdc() const {
    return IsChanged() ? NewAspectRatioIdc : CurrentAspectRatioIdc();
}

int32_t TARInfo::EffectiveSarWidth() const {
    return IsChanged() ? ResolvedNewSarWidth() : CurrentSarWidth();
}

int32_t TARInfo::EffectiveSarHeight() const {
    return IsChanged() ? ResolvedNewSarHeight() : CurrentSarHeight();
}

bool TARInfo::IsPredefined() const {
    return EffectiveAspectRatioIdc() != ExtendedSar;
}

bool TARInfo::KeepsKind() const {
    if (!IsChanged())
        return true;
    return (EffectiveAspectRatioIdc() == ExtendedSar) == (CurrentAspectRatioIdc() == ExtendedSar);
}

int32_t TARInfo::Width() const {
    return SequenceParameterSet ? SequenceParameterSet->Width() : 0;
}

int32_t TARInfo::Height() const {
    return SequenceParameterSet ? SequenceParameterSet->Height() : 0;
}

int32_t TARInfo::SpsId() const {
    return SequenceParameterSet ? static_cast<int32_t>(SequenceParameterSet->seq_parameter_set_id) : -1;
}

std::string TARInfo::TypeText() const {
    return IsPredefined() ? "Predefined" : "Custom";
}

std::string TARInfo::SarText() const {
    return std::to_string(EffectiveSarWidth()) + ":" + std::to_string(EffectiveSarHeight());
}

std::string TARInfo::ResolutionText() const {
    return std::to_string(Width()) + "x" + std::to_string(Height());
}

// The products are taken in 64 bits: a large custom term times a large picture size does not fit in 32.
std::string TARInfo::DarText() const {
    TRatio dar = DarFromSar(EffectiveSarWidth(), EffectiveSarHeight(), Width(), Height());
    if (dar.X == 0)
        return "[n/a]";
    return std::to_string(dar.X) + ":" + std::to_string(dar.Y);
}

void TARInfo::Reset() {
    NewSarWidth = 0;
    NewSarHeight = 0;
    NewAspectRatioIdc = 0;
}

TARInfo::TWriteSpan TARInfo::Span() const {
    const TVUIParameters &vui = *SequenceParameterSet->VUIParameters;
    TWriteSpan span{vui.Position, static_cast<uint8_t>(vui.BitOffset + 1), 8, EffectiveAspectRatioIdc()};
    if (span.BitOffset == 8) {
        ++span.Position;
        span.BitOffset = 0;
    }
    if (EffectiveAspectRatioIdc() == ExtendedSar) {
        span.BitCount = 40;
        span.Bits = (span.Bits << 32) | (uint64_t{static_cast<uint16_t>(EffectiveSarWidth())} << 16) |
                    static_cast<uint16_t>(EffectiveSarHeight());
    }
    return span;
}

bool TARInfo::WriteTo(TFastBitstream &writer) {
    if (!IsChanged())
        return true;
    if (SequenceParameterSet == nullptr || !SequenceParameterSet->VUIParameters)
        return false;
    TWriteSpan span = Span();
    writer.SetPosition(span.Position, span.BitOffset);
    writer.BeginWrite(8);
    for (int shift = span.BitCount - 8; shift >= 0; shift -= 8)
        writer.WriteByte(static_cast<uint8_t>(span.Bits >> shift));
    writer.EndWrite();
    TVUIParameters &vui = *SequenceParameterSet->VUIParameters;
    uint8_t idc = EffectiveAspectRatioIdc();
    int32_t width = EffectiveSarWidth();
    int32_t height = EffectiveSarHeight();
    vui.aspect_ratio_idc = idc;
    vui.sar_width = static_cast<uint16_t>(width);
    vui.sar_height = static_cast<uint16_t>(height);
    return true;
}

bool TARInfo::FileHoldsCurrentValues(TFastBitstream &reader) const {
    const TVUIParameters &vui = *SequenceParameterSet->VUIParameters;
    try {
        reader.SetPosition(vui.Position, vui.BitOffset);
        if (!reader.ReadBit() || reader.ReadBits(8) != vui.aspect_ratio_idc)
            return false;
        if (vui.aspect_ratio_idc == ExtendedSar)
            return reader.ReadBits(16) == vui.sar_width && reader.ReadBits(16) == vui.sar_height;
        return true;
    } catch (const Exception &) {
        return false; // the file has become too short to hold them
    }
}

std::string TARInfo::WriteRefusal(TFastBitstream &reader) const {
    if (SequenceParameterSet == nullptr || !SequenceParameterSet->VUIParameters)
        return {};
    const TVUIParameters &vui = *SequenceParameterSet->VUIParameters;
    if (EffectiveAspectRatioIdc() == ExtendedSar &&
        (EffectiveSarWidth() < 1 || EffectiveSarWidth() > MaxSarTerm || EffectiveSarHeight() < 1 ||
         EffectiveSarHeight() > MaxSarTerm))
        return Format(SCustomTermOutOfRange, {EffectiveSarWidth(), EffectiveSarHeight()});
    if (vui.aspect_ratio_info_present_flag != 1 || !FileHoldsCurrentValues(reader))
        return Format(SFileChangedSinceScan, {vui.Position});

    // The raw bytes of the span with two bytes on each side, as they are in the file.
    TWriteSpan span = Span();
    int64_t first = span.Position;
    int64_t last = first + (span.BitOffset + span.BitCount - 1) / 8;
    TStream &stream = *reader.Stream();
    int64_t from = std::max<int64_t>(0, first - 2);
    int64_t to = std::min(stream.Size() - 1, last + 2);
    if (to < last)
        return Format(SFileChangedSinceScan, {vui.Position});
    std::vector<uint8_t> bytes(static_cast<size_t>(to - from + 1));
    stream.Seek(from);
    stream.ReadBuffer(bytes.data(), bytes.size());
    auto at = [&](int64_t position) -> uint8_t & { return bytes[static_cast<size_t>(position - from)]; };

    // An emulation-prevention byte in the span would be overwritten; one just after it depends on the
    // last two bytes of the span, which the write changes.
    for (int64_t i = std::max(first, from + 2); i <= std::min(last + 2, to); ++i)
        if (at(i) == 0x03 && at(i - 1) == 0 && at(i - 2) == 0)
            return Format(SEmulationPreventionInSpan, {vui.Position});

    for (int k = 0; k < span.BitCount; ++k) {
        int64_t bit = span.BitOffset + k;
        uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        uint8_t &byte = at(first + bit / 8);
        byte = ((span.Bits >> (span.BitCount - 1 - k)) & 1) != 0 ? (byte | mask) : (byte & ~mask);
    }
    for (int64_t i = std::max(from, first - 2); i + 2 <= to && i <= last; ++i)
        if (at(i) == 0 && at(i + 1) == 0 && at(i + 2) <= 3)
            return Format(SForbiddenPattern, {vui.Position, at(i + 2)});
    return {};
}

// ---- TARInfoList ----

void TARInfoList::Add(std::unique_ptr<TARInfo> info) {
    FItems.push_back(std::move(info));
}

void TARInfoList::Clear() {
    FItems.clear();
}

TARInfo *TARInfoList::Items(size_t index) const {
    return FItems.at(index).get();
}

bool TARInfoList::CanSave() const {
    return std::all_of(FItems.begin(), FItems.end(), [](const auto &info) { return info->KeepsKind(); });
}

void TARInfoList::ResetAll() {
    for (auto &info : FItems)
        info->Reset();
}

std::vector<TContainerChange> TARInfoList::PlanContainerChanges() const {
    std::vector<TContainerChange> plan;
    for (size_t i = 0; i < FItems.size(); ++i) {
        const TARInfo &info = *FItems[i];
        TContainerAspectRatio *target = info.ContainerAspectRatio;
        if (target == nullptr || !info.IsChanged() || !info.KeepsKind())
            continue;
        int64_t width = target->FrameWidth > 0 ? target->FrameWidth : info.Width();
        int64_t height = target->FrameHeight > 0 ? target->FrameHeight : info.Height();
        TRatio ratio = DarFromSar(info.EffectiveSarWidth(), info.EffectiveSarHeight(), width, height);
        auto same = std::find_if(plan.begin(), plan.end(),
                                 [&](const auto &change) { return change.Target == target; });
        if (same == plan.end())
            plan.push_back({target, ratio, false, i});
        else if (same->NewRatio.X != ratio.X || same->NewRatio.Y != ratio.Y)
            same->Conflicting = true;
    }
    // A ratio already in place needs no write.
    std::erase_if(plan, [](const auto &change) {
        return !change.Conflicting && change.NewRatio.X == change.Target->X &&
               change.NewRatio.Y == change.Target->Y;
    });
    return plan;
}

std::vector<std::string> TARInfoList::DescribeContainerChanges() const {
    std::vector<std::string> lines;
    for (const TContainerChange &change : PlanContainerChanges()) {
        const TContainerAspectRatio &target = *change.Target;
        if (change.Conflicting)
            lines.push_back(Format(SContainerAspectConflict, {target.StreamNumber, target.Text()}));
        else
            lines.push_back(Format(SContainerAspectChanged, {target.StreamNumber, target.Text(),
                                                             change.NewRatio.X, change.NewRatio.Y}));
    }
    return lines;
}

namespace {

uint32_t ReadLittleEndian32(TStream &stream, int64_t position) {
    uint8_t bytes[4];
    stream.Seek(position);
    stream.ReadBuffer(bytes, sizeof bytes);
    return MakeFourCC(bytes[0], bytes[1], bytes[2], bytes[3]);
}

uint32_t PackedRatio(int64_t x, int64_t y) {
    return (static_cast<uint32_t>(x) << 16) | static_cast<uint32_t>(y);
}

} // namespace

std::vector<TWriteRefusal> TARInfoList::CheckChanges(TStream &stream) const {
    std::vector<TWriteRefusal> refusals;
    TFastBitstream reader;
    reader.AttachRange(&stream, 0, 0, stream.Size(), 0);
    for (size_t i = 0; i < FItems.size(); ++i) {
        const TARInfo &info = *FItems[i];
        if (!info.IsChanged())
            continue;
        std::string reason = info.KeepsKind() ? info.WriteRefusal(reader) : std::string(SSaveKindMismatch);
        if (!reason.empty())
            refusals.push_back({i, reason});
    }
    for (const TContainerChange &change : PlanContainerChanges()) {
        const TContainerAspectRatio &target = *change.Target;
        if (change.Conflicting)
            continue;
        if (change.NewRatio.X < 1 || change.NewRatio.X > MaxSarTerm || change.NewRatio.Y < 1 ||
            change.NewRatio.Y > MaxSarTerm)
            refusals.push_back(
                {change.FirstIndex, Format(SContainerTermsOutOfRange,
                                           {change.NewRatio.X, change.NewRatio.Y, target.StreamNumber})});
        else if (target.Position + 4 > stream.Size() ||
                 ReadLittleEndian32(stream, target.Position) != PackedRatio(target.X, target.Y))
            refusals.push_back({change.FirstIndex,
                                Format(SContainerChangedSinceScan, {target.StreamNumber, target.Position})});
    }
    return refusals;
}

bool TARInfoList::WriteChanges(TStream &stream) {
    std::vector<TWriteRefusal> refusals = CheckChanges(stream);
    if (!refusals.empty())
        throw Exception(Format(SChangesRefused, {static_cast<int64_t>(refusals.size())}));
    std::vector<TContainerChange> containers = PlanContainerChanges();
    TFastBitstream writer;
    writer.AttachRange(&stream, 0, 0, stream.Size(), 0);
    for (auto &info : FItems) {
        bool changed = info->IsChanged();
        if (!info->WriteTo(writer))
            return false;
        if (changed && !info->FileHoldsCurrentValues(writer))
            throw Exception(
                Format(SWriteVerifyFailed, {info->SequenceParameterSet->VUIParameters->Position}));
    }
    for (const TContainerChange &change : containers) {
        if (change.Conflicting)
            continue;
        TContainerAspectRatio &target = *change.Target;
        uint32_t packed = PackedRatio(change.NewRatio.X, change.NewRatio.Y);
        uint8_t bytes[4] = {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                            static_cast<uint8_t>(packed >> 16), static_cast<uint8_t>(packed >> 24)};
        stream.Seek(target.Position);
        stream.WriteBuffer(bytes, sizeof bytes);
        if (ReadLittleEndian32(stream, target.Position) != packed)
            throw Exception(Format(SWriteVerifyFailed, {target.Position}));
        target.X = static_cast<uint16_t>(change.NewRatio.X);
        target.Y = static_cast<uint16_t>(change.NewRatio.Y);
    }
    return true;
}

// ---- Scanners ----

TARInfoList *ARInfoList = nullptr;

const std::array<const char *, 5> H264HandlerCodes{"AVC1", "DAVC", "H264", "X264", "VSSH"};

bool IsH264HandlerCode(const std::string &fourCC) {
    std::string upper = fourCC;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return std::any_of(H264HandlerCodes.begin(), H264HandlerCodes.end(),
                       [&](const char *code) { return upper == code; });
}

uint32_t MakeFourCC(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return uint32_t{a} | (uint32_t{b} << 8) | (uint32_t{c} << 16) | (uint32_t{d} << 24);
}

std::string FourCCToString(uint32_t code) {
    std::string text(4, '\0');
    for (int i = 0; i < 4; ++i)
        text[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    return text;
}

namespace {

const uint32_t FourCCRIFF = MakeFourCC('R', 'I', 'F', 'F');
const uint32_t FourCCLIST = MakeFourCC('L', 'I', 'S', 'T');
constexpr int64_t FourGiB = int64_t{1} << 32;

uint32_t LittleEndian32(const uint8_t *bytes) {
    return MakeFourCC(bytes[0], bytes[1], bytes[2], bytes[3]);
}

} // namespace

TNALUnit *TParser::KeepNALUnit(TFastBitstream &reader) {
    auto unit = std::make_unique<TNALUnit>();
    if (!unit->Parse(reader))
        return nullptr;
    NALUnits.push_back(std::move(unit));
    if (OnFound)
        OnFound(nullptr, nullptr, &NALUnits);
    return NALUnits.back().get();
}

void TParser::AddRecord(TNALUnit &unit, int streamNumber, TContainerAspectRatio *container) {
    if (unit.NalUnitType() != 7 || !unit.SequenceParameterSet ||
        !unit.SequenceParameterSet->HasAspectRatio() || ARInfoList == nullptr)
        return;
    auto info = std::make_unique<TARInfo>();
    info->SequenceParameterSet = unit.SequenceParameterSet.get();
    info->StreamNumber = streamNumber;
    info->ContainerAspectRatio = container;
    TARInfo *added = info.get();
    ARInfoList->Add(std::move(info));
    if (OnFound)
        OnFound(added, ARInfoList, nullptr);
}

void TParser::ReportProgress(int64_t position, int64_t total) const {
    if (OnProgress)
        OnProgress(Format(SProgressBytes, {position, total}), position, total);
}

TParser::TReadyReport::~TReadyReport() {
    try {
        if (FParser.OnProgress)
            FParser.OnProgress(SReady, 0, 100);
    } catch (...) {
        // A failing receiver must not replace the error that ended the scan, nor end the program.
    }
}

std::string DetectContainer(TStream &stream) {
    // Enough for the third packet header of an M2TS file (192-byte packets, sync byte at 4).
    std::vector<uint8_t> head(static_cast<size_t>(std::min<int64_t>(stream.Size(), 389)));
    stream.Seek(0);
    stream.ReadBuffer(head.data(), head.size());
    auto has = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        return at + bytes.size() <= head.size() && std::equal(bytes.begin(), bytes.end(), head.begin() + at);
    };
    auto text = [&](size_t at, const char *chars) {
        std::string_view wanted(chars);
        return at + wanted.size() <= head.size() &&
               std::equal(wanted.begin(), wanted.end(), head.begin() + at,
                          [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; });
    };
    for (const char *box : {"ftyp", "moov", "mdat", "free", "skip", "wide"})
        if (text(4, box))
            return SContainerMP4;
    if (has(0, {0x1A, 0x45, 0xDF, 0xA3}))
        return SContainerMatroska;
    if (has(0, {0x47}) && has(188, {0x47}) && has(376, {0x47}))
        return SContainerMPEGTS;
    if (has(4, {0x47}) && has(196, {0x47}) && has(388, {0x47}))
        return SContainerM2TS;
    if (has(0, {0x00, 0x00, 0x01, 0xBA}))
        return SContainerMPEGPS;
    if (text(0, "FLV"))
        return SContainerFLV;
    return {};
}

void TStreamParser::Parse(const std::string &fileName) {
    if (!FileExists(fileName))
        throw EInOutError(Format(SFileNotFound, {fileName}));
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    FileSize = file.Size();
    TReadyReport ready(*this);
    auto reader = std::make_unique<TFastBitstream>();
    NALUnits.clear();
    std::string container = DetectContainer(file);
    if (!container.empty())
        throw Exception(Format(SContainerNotRawStream, {container}));
    reader->AttachRange(&file, 0, 0, FileSize, 0);
    reader->SetPosition(0, 0);
    while (!reader->AtEnd() && !Aborted) {
        ReportProgress(file.Position(), file.Size());
        if (!reader->SeekNextStartCode())
            continue;
        if (TNALUnit *unit = KeepNALUnit(*reader))
            AddRecord(*unit);
    }
}

// ---- TGenericRIFFChunk ----

TGenericRIFFChunk::TGenericRIFFChunk(TGenericRIFFChunk *parent) : Parent(parent) {}

TGenericRIFFChunk::~TGenericRIFFChunk() {
    ClearChildren();
}

void TGenericRIFFChunk::ClearChildren() {
    Children.clear();
}

void TGenericRIFFChunk::ForgetNALUnits() {
    NALUnits.clear();
    for (auto &child : Children)
        child->ForgetNALUnits();
}

bool TGenericRIFFChunk::IsList() const {
    return IsFourCC(FourCCRIFF) || IsFourCC(FourCCLIST);
}

int64_t TGenericRIFFChunk::ContentSize() const {
    // A list too short to hold its form type has no sub-chunk area (its size went below zero).
    return IsList() && Size > 0xFFFFFFFBu ? 0 : int64_t{Size};
}

int64_t TGenericRIFFChunk::DataEnd() const {
    return DataPos + (IsList() ? 4 : 0) + ContentSize();
}

void TGenericRIFFChunk::ReadHeader(TStream *stream) {
    if (stream == nullptr)
        throw EInvalidOp(SStreamNotInitialized);
    if (stream->Size() - stream->Position() < 8)
        throw EInOutError(SUnexpectedEndOfStream);
    uint8_t header[8];
    stream->ReadBuffer(header, sizeof header);
    if (Parser != nullptr)
        Parser->ReportProgress(stream->Position(), stream->Size());
    HeaderPos = stream->Position() - 8;
    DataPos = stream->Position();
    ID.assign(reinterpret_cast<const char *>(header), 4);
    FourCC = LittleEndian32(header);
    Size = LittleEndian32(header + 4);
    if (IsList()) {
        uint8_t formType[4];
        stream->ReadBuffer(formType, sizeof formType);
        ListType = LittleEndian32(formType);
        Size -= 4;
    }
}

bool TGenericRIFFChunk::CheckStreamHeader(TStream *stream) {
    uint8_t header[64];
    stream->ReadBuffer(header, sizeof header);
    std::string type = FourCCToString(LittleEndian32(header));
    if (Parser->Streams.empty())
        Parser->Streams.emplace_back(); // a stream header outside a stream list
    Parser->Streams.back().Type = type;
    if (type != "vids")
        return true;
    std::string handler = FourCCToString(LittleEndian32(header + 4));
    if (IsH264HandlerCode(handler))
        return true;
    return Parser->OnForeignHandler && Parser->OnForeignHandler(handler);
}

// dwFrameAspectRatio, dwFrameWidthInPixels and dwFrameHeightInLines lie at 20, 24 and 28 of the
// video properties; a shorter chunk, or one of a stream that is not video, is passed over.
void TGenericRIFFChunk::ReadVideoProperties(TStream *stream) {
    constexpr int64_t AspectRatioOffset = 20;
    if (Size < 32 || Parser->Streams.empty() || Parser->Streams.back().Type != "vids")
        return;
    uint8_t fields[12];
    stream->Seek(DataPos + AspectRatioOffset);
    stream->ReadBuffer(fields, sizeof fields);
    auto aspect = std::make_unique<TContainerAspectRatio>();
    aspect->StreamNumber = static_cast<int>(Parser->Streams.size()) - 1;
    aspect->Position = DataPos + AspectRatioOffset;
    uint32_t ratio = LittleEndian32(fields);
    aspect->X = static_cast<uint16_t>(ratio >> 16);
    aspect->Y = static_cast<uint16_t>(ratio & 0xFFFF);
    aspect->FrameWidth = LittleEndian32(fields + 4);
    aspect->FrameHeight = LittleEndian32(fields + 8);
    Parser->Streams.back().AspectRatio = std::move(aspect);
}

int TGenericRIFFChunk::DataStreamNumber() const {
    if (ID.size() != 4 || !std::isdigit(static_cast<unsigned char>(ID[0])) ||
        !std::isdigit(static_cast<unsigned char>(ID[1])))
        return -1;
    return (ID[0] - '0') * 10 + (ID[1] - '0');
}

void TGenericRIFFChunk::ReadChildren(TStream *stream, TGenericRIFFChunk *parent) {
    if (stream == nullptr)
        throw EInvalidOp(SStreamNotInitialized);
    bool failed = false;
    int64_t end = stream->Position() + parent->ContentSize();
    // Offsets are 64-bit, so a first RIFF chunk of up to 4 GiB is walked in full. A size that would
    // carry a chunk 4 GiB past the start of the top-level chunk and past its end is the 32-bit
    // walk's wrap-around: the walk would go back, and the file is refused.
    const TGenericRIFFChunk *top = parent;
    while (top->Parent != nullptr)
        top = top->Parent;
    while (!Parser->Aborted && stream->Position() < end && !failed) {
        int64_t start = stream->Position();
        auto owned = std::make_unique<TGenericRIFFChunk>(parent);
        TGenericRIFFChunk *chunk = owned.get();
        chunk->Parser = Parser;
        chunk->ReadHeader(stream);
        parent->Children.push_back(std::move(owned));
        if (chunk->IsList()) {
            if (chunk->ListType == MakeFourCC('s', 't', 'r', 'l'))
                Parser->Streams.emplace_back();
            ReadChildren(stream, chunk);
            // The pad byte of an odd-sized list, unless the pad byte of its last child (not counted in
            // the list's size) has already been stepped over: it is the same byte.
            if (chunk->Size % 2 == 1 && stream->Position() == chunk->DataEnd())
                stream->Seek(stream->Position() + 1);
        } else {
            int64_t chunkEnd = stream->Position() + chunk->Size + (chunk->Size % 2);
            if (chunk->ID == "strh" && !CheckStreamHeader(stream)) {
                Parser->Aborted = true;
                return;
            }
            if (chunk->ID.compare(2, 2, "dc") == 0)
                chunk->ScanNALUnits(Parser->DeepScan, 0, chunk->DataStreamNumber());
            // A video stream's format may carry the SPS of its decoder configuration in Annex B form
            // behind the 40-byte bitmap header (files remuxed from raw streams do): it is the stream's
            // first SPS, and changing only the others would leave the file with two aspect ratios.
            constexpr int64_t BitmapHeaderSize = 40;
            if (chunk->ID == "strf" && chunk->Size > BitmapHeaderSize && !Parser->Streams.empty() &&
                Parser->Streams.back().Type == "vids")
                chunk->ScanNALUnits(Parser->DeepScan, BitmapHeaderSize,
                                    static_cast<int>(Parser->Streams.size()) - 1);
            if (chunk->ID == "vprp")
                chunk->ReadVideoProperties(stream);
            stream->Seek(chunkEnd);
        }
        // The end without the pad byte: the pad of a top-level chunk's last child may lie behind it.
        int64_t dataEnd = chunk->DataEnd();
        if (stream->Position() <= start || (dataEnd - top->HeaderPos >= FourGiB && dataEnd > top->DataEnd()))
            failed = true;
    }
    if (failed)
        throw EInvalidOp(SRIFFParseError);
}

void TGenericRIFFChunk::ScanNALUnits(bool deepScan, int64_t skip, int streamNumber) {
    TFastBitstream &reader = *Parser->Bitstream;
    reader.SetRange(DataPos + skip, 0, DataPos + Size, 0);
    reader.SetPosition(DataPos + skip, 0);
    NALUnits.clear();
    TContainerAspectRatio *container = nullptr;
    if (streamNumber >= 0 && streamNumber < static_cast<int>(Parser->Streams.size()))
        container = Parser->Streams[static_cast<size_t>(streamNumber)].AspectRatio.get();
    while (!reader.AtEnd()) {
        if (reader.SeekNextStartCode()) {
            if (TNALUnit *unit = Parser->KeepNALUnit(reader)) {
                NALUnits.push_back(unit);
                Parser->AddRecord(*unit, streamNumber, container);
            }
        }
        if (!deepScan)
            break;
    }
}

// ---- TRIFFParser ----

TRIFFParser::TRIFFParser() : FARInfoList(std::make_unique<TARInfoList>()) {
    ARInfoList = FARInfoList.get();
}

TRIFFParser::~TRIFFParser() {
    NALUnits.clear();
    RootChunk.reset();
    if (ARInfoList == FARInfoList.get())
        ARInfoList = nullptr;
}

void TRIFFParser::Parse(const std::string &fileName) {
    if (!FileExists(fileName))
        throw EInOutError(Format(SFileNotFound, {fileName}));
    if (RootChunk)
        RootChunk->ForgetNALUnits();
    for (auto &chunk : ExtensionChunks)
        chunk->ForgetNALUnits();
    NALUnits.clear();
    Streams.clear();
    TFileStream file(fileName, TFileOpenMode::ReadShareDenyWrite);
    // Clean-up in this order, however the scan ends: "Ready.", the reader, then the file.
    struct TReaderRelease {
        std::unique_ptr<TFastBitstream> &Reader;
        ~TReaderRelease() { Reader.reset(); }
    } release{Bitstream};
    TReadyReport ready(*this);

    FileSize = file.Size();
    if (FileSize < 12)
        throw Exception(SNotAValidRIFFFile);
    int64_t start = file.Position();
    Bitstream = std::make_unique<TFastBitstream>(&file);
    file.Seek(start);
    if (!RootChunk) {
        RootChunk = std::make_unique<TGenericRIFFChunk>(nullptr);
        RootChunk->Parser = this;
    } else {
        RootChunk->ClearChildren();
    }
    RootChunk->ReadHeader(&file);
    if (RootChunk->ID != "RIFF")
        throw Exception(SNotAValidRIFFFile);
    RootChunk->ReadChildren(&file, RootChunk.get());
    ReadExtensionChunks(file);
}

// An OpenDML AVI larger than about 1 GiB goes on after its first RIFF chunk in further top-level
// RIFF chunks of form type "AVIX", each with a movie list of its own; they are walked like the first.
// Anything else after the first chunk (and after the last AVIX chunk) is ignored.
void TRIFFParser::ReadExtensionChunks(TStream &file) {
    ExtensionChunks.clear();
    const TGenericRIFFChunk *previous = RootChunk.get();
    while (!Aborted) {
        int64_t next = previous->DataEnd() + previous->ContentSize() % 2;
        uint8_t header[12];
        if (next > file.Size() - static_cast<int64_t>(sizeof header))
            return;
        file.Seek(next);
        file.ReadBuffer(header, sizeof header);
        if (std::string_view(reinterpret_cast<const char *>(header), 4) != "RIFF" ||
            std::string_view(reinterpret_cast<const char *>(header) + 8, 4) != "AVIX")
            return;
        file.Seek(next);
        auto chunk = std::make_unique<TGenericRIFFChunk>(nullptr);
        chunk->Parser = this;
        chunk->ReadHeader(&file);
        previous = chunk.get();
        ExtensionChunks.push_back(std::move(chunk));
        ExtensionChunks.back()->ReadChildren(&file, ExtensionChunks.back().get());
    }
}
