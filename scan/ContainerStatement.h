#pragma once

// What a container says about the aspect ratio of a video track, beside the bitstream: AVI's video
// properties, MP4's pasp and tkhd, Matroska's display size. Players built on libavformat believe the
// container before the SPS; hardware players read the SPS. A save changes both, so that they agree.

#include "PatchPlan.h"
#include "base/Ratio.h"
#include "codec/CodecRegistry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One place where the container states the aspect ratio of a track.
class TContainerStatement {
public:
    virtual ~TContainerStatement() = default;

    // What it states, as the display aspect ratio of the track's picture and as the sample aspect ratio;
    // 0:0 when it states nothing usable.
    virtual TRatio DisplayAspectRatio() const = 0;
    virtual TRatio SampleAspectRatio() const = 0;
    // Where in the file it lies, for the list.
    virtual int64_t FileOffset() const = 0;
    // The change that makes it state sample aspect ratio sar for a picture of width x height samples (as
    // the SPS gives it). An entry without patches when it states that already; Refusal set when it can
    // not state it in place and the save must not go on; Note set when it can not state it in place but
    // the rest of the save may go on (the note tells the user what stays as it was, and with what effect).
    // A Note beside patches tells how what is written differs from what was asked (a ratio its whole
    // numbers can only come near).
    // Moves: the patches move elements of the file, so that what the scan found of them no longer holds
    // once they are written. The other patches of the save that lie in [TakesFrom, TakesTo) are written
    // with the change's own (they move with the bytes around them), and no longer on their own.
    struct TChange {
        TPlanEntry Entry;
        std::string Refusal;
        std::string Note;
        bool Moves = false;
        int64_t TakesFrom = 0;
        int64_t TakesTo = 0;
    };
    // others: the patches the save writes besides (the SPS of the rows, other statements), for a change
    // that moves bytes among them.
    virtual TChange Plan(TRatio sar, int64_t width, int64_t height, const std::vector<TPatch> &others) = 0;
    TChange Plan(TRatio sar, int64_t width, int64_t height) { return Plan(sar, width, height, {}); }
    // The sample aspect ratio it states once Plan (sar, width, height) is written: sar itself, unless the
    // way it states it can not hold sar exactly (terms too large for its fields, say).
    virtual TRatio Representable(TRatio sar, int64_t, int64_t) const { return ReduceRatio(sar.X, sar.Y); }
};

// A video track of the file, as its container numbers it, with what the container states about it.
class TTrack {
public:
    TTrack(int number, std::string label) : Number(number), Label(std::move(label)) {}

    // The codec the container names for the track, null when it names none the program knows.
    const TCodecEntry *Codec = nullptr;

    int Number;        // AVI stream number, MP4 track ID, Matroska track number, transport stream PID
    std::string Label; // how messages name it: "stream 0", "track 1", ...
    // The picture size the container gives the track, 0 x 0 when it gives none.
    int64_t Width = 0;
    int64_t Height = 0;
    std::vector<std::unique_ptr<TContainerStatement>> Statements;
    // Why the container's statement is left unwritten even when the SPS change (two statements that
    // disagree, say); empty when it is written.
    std::string NotWritten;

    // What the container states, from its first statement (the one players believe first); 0:0 for none.
    TRatio StatedDisplayAspectRatio() const {
        return Statements.empty() ? TRatio{} : Statements.front()->DisplayAspectRatio();
    }
    TRatio StatedSampleAspectRatio() const {
        return Statements.empty() ? TRatio{} : Statements.front()->SampleAspectRatio();
    }
    bool HasStatement() const { return !Statements.empty(); }
    // Its codec states no ratio in its bitstream, which is left as it is: the container's statement is
    // all there is, and it is changed alone.
    bool ContainerOnly() const { return Codec != nullptr && Codec->ContainerOnly(); }
};
