#include "RatioChange.h"

#include "ARInfoRow.h"
#include "ContainerStatement.h"
#include "base/Exceptions.h"
#include "base/Messages.h"

#include <algorithm>
#include <vector>

namespace {

// Rows show ratios of 16-bit terms, as the custom forms of the codecs hold them.
constexpr int64_t MaxRowTerm = 65535;

bool IsRowTerm(TRatio ratio) {
    return ratio.X >= 1 && ratio.X <= MaxRowTerm && ratio.Y >= 1 && ratio.Y <= MaxRowTerm;
}

} // namespace

std::string TRatioChange::ApplyTo(TARInfo &record) const {
    if (record.IsContainerRow())
        return ApplyToContainer(record);
    if (Kind == TKind::None)
        return {};
    if (record.Unit == nullptr)
        return SRecordWithoutUnit;
    const TCodec &codec = record.Unit->Codec();
    if (Kind == TKind::Predefined) {
        const std::vector<uint8_t> codes = codec.PredefinedCodes();
        if (std::find(codes.begin(), codes.end(), Code) == codes.end())
            return Format(SNotACodeOf, Code, codec.Name());
        const TRatio sar = codec.SarOfCode(Code, record.Width(), record.Height());
        record.NewAspectRatioIdc = Code;
        record.NewSarWidth = static_cast<int32_t>(sar.X);
        record.NewSarHeight = static_cast<int32_t>(sar.Y);
        return {};
    }
    const TRatio sar = Kind == TKind::Sar ? ReduceRatio(Ratio.X, Ratio.Y)
                                          : SarFromDar(Ratio.X, Ratio.Y, record.Width(), record.Height());
    const TCodeChoice choice = codec.ChooseFor(*record.Unit, sar);
    if (!choice.Refusal.empty())
        return choice.Refusal;
    const TRatio stated = choice.Code == codec.CustomCode()
                              ? choice.Custom
                              : codec.SarOfCode(choice.Code, record.Width(), record.Height());
    record.NewAspectRatioIdc = choice.Code;
    record.NewSarWidth = static_cast<int32_t>(stated.X);
    record.NewSarHeight = static_cast<int32_t>(stated.Y);
    return {};
}

// A container states a ratio, not a code, and only the ratios it can hold: the row gets the one the
// container will state, so that it shows what players will read. A code is read in the table of the
// track's codec.
std::string TRatioChange::ApplyToContainer(TARInfo &record) const {
    TRatio sar;
    switch (Kind) {
    case TKind::None:
        return {};
    case TKind::Predefined:
        if (record.Codec() == nullptr)
            return Format(SNoCodeTable, record.Track->Label);
        sar = record.Codec()->SarOfCode(Code, record.Width(), record.Height());
        break;
    case TKind::Sar:
        sar = ReduceRatio(Ratio.X, Ratio.Y);
        break;
    case TKind::Dar:
        sar = SarFromDar(Ratio.X, Ratio.Y, record.Width(), record.Height());
        break;
    }
    if (!IsRowTerm(sar))
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    if (record.Track->HasStatement())
        sar = record.Track->Statements.front()->Representable(sar, record.Width(), record.Height());
    // What the container can hold may be a ratio of larger terms than a row shows (a display size in
    // inches against a pixel size, say).
    if (!IsRowTerm(sar))
        return Format(SCustomTermOutOfRange, sar.X, sar.Y);
    record.NewAspectRatioIdc = TARInfo::ContainerRatioCode;
    record.NewSarWidth = static_cast<int32_t>(sar.X);
    record.NewSarHeight = static_cast<int32_t>(sar.Y);
    return {};
}
