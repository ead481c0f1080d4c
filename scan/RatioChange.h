#pragma once

// The rules by which a change the user asks for becomes a row's new values.

#include "base/Ratio.h"

#include <cstdint>
#include <string>

class TARInfo;

// The change a user asks for, the same in both programs: a predefined code, a sample aspect ratio, or a
// display aspect ratio at the row's picture size.
struct TRatioChange {
    enum class TKind { None, Predefined, Sar, Dar };
    TKind Kind = TKind::None;
    uint8_t Code = 0; // Predefined
    TRatio Ratio;     // Sar and Dar

    // Puts the change into the record's new values. A predefined code is taken as it is (a record with
    // a custom ratio then refuses it when saved). A ratio is stated as the record's codec can state it in
    // the record's place: a predefined record gets the predefined code of that ratio, a custom record the
    // ratio itself. Returns why the record can not take the change (no predefined code has that ratio,
    // terms outside the codec's range), or an empty text; the record is left as it was then.
    std::string ApplyTo(TARInfo &record) const;

private:
    std::string ApplyToContainer(TARInfo &record) const;
};
