#pragma once

// The row of the list: one aspect-ratio record per unit found with an aspect-ratio field (an SPS), with
// the new values the user chose, the texts it shows, and the patch of its change.

#include "PatchPlan.h"
#include "base/ByteView.h"
#include "codec/CodecRegistry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TFastBitstream;
class TTrack;

// One unit with an aspect-ratio field (a usable ratio, or none stated): its current values in its codec's
// terms, the new values chosen by the user, the texts of its row, and the write of the change. A record
// without unit that refers to a track stands for the container's own statement of the track's aspect ratio
// (a container row): for a track whose units carry no ratio, the container's statement is what a change
// writes. A container states a ratio, not a code: its row holds ContainerRatioCode, the custom marker.
class TARInfo {
public:
    static constexpr uint8_t ContainerRatioCode = 255;

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
    // Whether the row is a unit whose code is, and stays, one that states no ratio (H.264's Unspecified):
    // players take its samples as square.
    bool StatesNoRatio() const;
    bool KeepsKind() const;
    // Why the change is refused by the rules of the unit's codec (a predefined code is not changed into a
    // custom ratio, nor the other way round, say).
    std::string KindMismatchReason() const;
    int32_t Width() const;
    int32_t Height() const;
    int32_t SpsId() const;
    std::string TypeText() const;
    std::string SarText() const;
    std::string ResolutionText() const;
    std::string DarText() const;
    void Reset();
    // Writes the change at the aspect-ratio bits, through a writer attached to the bytes of the record's
    // unit (positions in the unit count from its first byte). False without unit or when its codec refuses.
    bool WriteTo(TFastBitstream &writer) const;

    // File offsets of the header's first payload byte and of the first bit of its ratio syntax ("SPS
    // Offset", "VUI Offset"); for a container row the place of the container's statement, and -1.
    int64_t SpsOffset() const;
    int64_t VuiOffset() const;
    bool IsContainerRow() const { return Unit == nullptr && Track != nullptr; }
    // The codec of the row's unit or of its track, null when neither names one the program reads; and the
    // codec as the registry names it, null when nothing names one it knows.
    const TCodec *Codec() const;
    const TCodecEntry *CodecEntry() const;

    int32_t NewSarWidth = 0;
    int32_t NewSarHeight = 0;
    uint8_t NewAspectRatioIdc = 0;
    // The unit the record stands for; it belongs to the scan session, and records of the same unit
    // repeated share it.
    const TRatioUnit *Unit = nullptr;
    // Where the unit's bytes lie in the file.
    TPlacement Placement;
    // The video track the unit belongs to, when the container tells; it belongs to the scan session.
    TTrack *Track = nullptr;
    // Why the unit can not be changed in place, when it can not (kept by the scan session).
    const std::string *NotChangeable = nullptr;

private:
    friend class TARInfoList;
    bool IsCustomCode(uint8_t code) const;
    TRatio SarOfCode(uint8_t code) const;
    // The unit's bytes with the effective values written, by its codec.
    TUnitRewrite Rewrite() const;
    // The patch of the change in the file, worked out on the unit's bytes, and the unit's bytes as the
    // change leaves them; refusal set instead when it can not be written in place.
    TPlanEntry PlanChange(size_t row, std::string &refusal, std::vector<uint8_t> &written) const;
};
