#include "ARInfoRow.h"

#include "ContainerStatement.h"
#include "base/Exceptions.h"
#include "base/Messages.h"
#include "bitstream/uFastBitStream.h"

const TCodec *TARInfo::Codec() const {
    if (Unit != nullptr)
        return &Unit->Codec();
    return Track != nullptr && Track->Codec != nullptr ? Track->Codec->Codec : nullptr;
}

const TCodecEntry *TARInfo::CodecEntry() const {
    if (Unit != nullptr)
        return CodecByKey(Unit->Codec().Key());
    return Track != nullptr ? Track->Codec : nullptr;
}

bool TARInfo::IsCustomCode(uint8_t code) const {
    if (IsContainerRow())
        return code == ContainerRatioCode;
    return Codec() != nullptr && Codec()->CustomCode() != 0 && code == Codec()->CustomCode();
}

TRatio TARInfo::SarOfCode(uint8_t code) const {
    return Codec() != nullptr ? Codec()->SarOfCode(code, Width(), Height()) : TRatio{};
}

uint8_t TARInfo::CurrentAspectRatioIdc() const {
    if (IsContainerRow())
        return ContainerRatioCode;
    return Unit ? Unit->Code() : 0;
}

int32_t TARInfo::CurrentSarWidth() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->StatedSampleAspectRatio().X);
    return Unit ? static_cast<int32_t>(Unit->Sar().X) : 0;
}

int32_t TARInfo::CurrentSarHeight() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->StatedSampleAspectRatio().Y);
    return Unit ? static_cast<int32_t>(Unit->Sar().Y) : 0;
}

int32_t TARInfo::ResolvedNewSarWidth() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return IsCustomCode(NewAspectRatioIdc) ? NewSarWidth
                                           : static_cast<int32_t>(SarOfCode(NewAspectRatioIdc).X);
}

int32_t TARInfo::ResolvedNewSarHeight() const {
    if (NewAspectRatioIdc == 0)
        return 0;
    return IsCustomCode(NewAspectRatioIdc) ? NewSarHeight
                                           : static_cast<int32_t>(SarOfCode(NewAspectRatioIdc).Y);
}

bool TARInfo::IsChanged() const {
    if (NewAspectRatioIdc == 0)
        return false;
    // A container takes any ratio; it changes when the ratio does.
    if (IsContainerRow()) {
        const TRatio now = ReduceRatio(CurrentSarWidth(), CurrentSarHeight());
        const TRatio wanted = ReduceRatio(ResolvedNewSarWidth(), ResolvedNewSarHeight());
        return wanted.X > 0 && wanted.Y > 0 && (wanted.X != now.X || wanted.Y != now.Y);
    }
    if (!IsCustomCode(NewAspectRatioIdc))
        return NewAspectRatioIdc != CurrentAspectRatioIdc();
    if (ResolvedNewSarWidth() <= 0 || ResolvedNewSarHeight() <= 0)
        return false;
    return ResolvedNewSarWidth() != CurrentSarWidth() || ResolvedNewSarHeight() != CurrentSarHeight() ||
           !IsCustomCode(CurrentAspectRatioIdc());
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
    return !IsCustomCode(EffectiveAspectRatioIdc());
}

std::string TARInfo::KindMismatchReason() const {
    return Unit != nullptr ? Unit->Codec().ReplacementRefusal(*Unit, EffectiveAspectRatioIdc())
                           : std::string();
}

bool TARInfo::KeepsKind() const {
    if (!IsChanged() || IsContainerRow())
        return true;
    return KindMismatchReason().empty();
}

int32_t TARInfo::Width() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->Width);
    return Unit ? Unit->Width() : 0;
}

int32_t TARInfo::Height() const {
    if (IsContainerRow())
        return static_cast<int32_t>(Track->Height);
    return Unit ? Unit->Height() : 0;
}

int32_t TARInfo::SpsId() const {
    return Unit ? Unit->Id() : -1;
}

bool TARInfo::StatesNoRatio() const {
    return Unit != nullptr && Unit->Codec().StatesNoRatio(EffectiveAspectRatioIdc());
}

std::string TARInfo::TypeText() const {
    if (IsContainerRow())
        return "Container";
    if (StatesNoRatio())
        return "Unspecified";
    return IsPredefined() ? "Predefined" : "Custom";
}

// A unit that states no ratio is shown with the square samples players take for it.
std::string TARInfo::SarText() const {
    if (StatesNoRatio())
        return SUnspecifiedSarText;
    return std::to_string(EffectiveSarWidth()) + ":" + std::to_string(EffectiveSarHeight());
}

std::string TARInfo::ResolutionText() const {
    return std::to_string(Width()) + "x" + std::to_string(Height());
}

// The products are taken in 64 bits: a large custom term times a large picture size does not fit in 32.
std::string TARInfo::DarText() const {
    TRatio dar = StatesNoRatio() ? DarFromSar(1, 1, Width(), Height())
                                 : DarFromSar(EffectiveSarWidth(), EffectiveSarHeight(), Width(), Height());
    if (dar.X == 0)
        return "[n/a]";
    return std::to_string(dar.X) + ":" + std::to_string(dar.Y);
}

void TARInfo::Reset() {
    NewSarWidth = 0;
    NewSarHeight = 0;
    NewAspectRatioIdc = 0;
}

int64_t TARInfo::SpsOffset() const {
    if (IsContainerRow())
        return Track->HasStatement() ? Track->Statements.front()->FileOffset() : -1;
    return Unit ? Placement.FileOffset(Unit->HeaderPosition()) : 0;
}

int64_t TARInfo::VuiOffset() const {
    if (IsContainerRow())
        return -1;
    return Unit ? Placement.FileOffset(Unit->FieldsPosition()) : 0;
}

TUnitRewrite TARInfo::Rewrite() const {
    return Unit->Codec().Rewrite(*Unit, EffectiveAspectRatioIdc(),
                                 {EffectiveSarWidth(), EffectiveSarHeight()}, VuiOffset());
}

bool TARInfo::WriteTo(TFastBitstream &writer) const {
    if (!IsChanged())
        return true;
    if (Unit == nullptr)
        return false;
    const TUnitRewrite rewrite = Rewrite();
    if (!rewrite.Refusal.empty())
        return false;
    writer.SetPosition(rewrite.First, 0);
    writer.BeginWrite(rewrite.Last - rewrite.First + 1);
    for (int64_t i = rewrite.First; i <= rewrite.Last; ++i)
        writer.WriteByte(rewrite.Bytes[static_cast<size_t>(i)]);
    writer.EndWrite();
    return true;
}

// Worked out by the codec in the unit's own bytes, then placed in the file: the patch covers the bytes the
// codec names, which the file must still hold as scanned.
TPlanEntry TARInfo::PlanChange(size_t row, std::string &refusal, std::vector<uint8_t> &written) const {
    TPlanEntry entry;
    entry.Row = row;
    if (Unit == nullptr) {
        refusal = SRecordWithoutUnit;
        return entry;
    }
    TUnitRewrite rewrite = Rewrite();
    if (!rewrite.Refusal.empty()) {
        refusal = rewrite.Refusal;
        return entry;
    }
    const std::vector<uint8_t> &before = Unit->Bytes();
    const std::string what = Format(SWhatRowRatio, row);
    for (int64_t i = rewrite.First; i <= rewrite.Last; ++i) {
        const int64_t offset = Placement.FileOffset(i);
        if (entry.Patches.empty() || entry.Patches.back().End() != offset)
            entry.Patches.push_back({offset, {}, {}, what});
        entry.Patches.back().Old.push_back(before[static_cast<size_t>(i)]);
        entry.Patches.back().New.push_back(rewrite.Bytes[static_cast<size_t>(i)]);
    }
    written = std::move(rewrite.Bytes);
    const TCodec &codec = Unit->Codec();
    const std::string previous =
        codec.StatesNoRatio(CurrentAspectRatioIdc())
            ? std::string(SUnspecifiedSarText)
            : std::to_string(CurrentSarWidth()) + ":" + std::to_string(CurrentSarHeight());
    entry.Description =
        Format(SPlanRowEntry, row, previous, SarText(), codec.UnitName(), codec.FieldsName(), VuiOffset());
    return entry;
}
