#pragma once

// The list of rows of one scan, and the planning of their changes into the patches a save writes.

#include "ARInfoRow.h"
#include "PatchPlan.h"
#include "base/Streams.h"

#include <cstddef>
#include <deque>
#include <vector>

class TScanSession;

class TARInfoList {
public:
    explicit TARInfoList(TScanSession &session) : FSession(session) {}
    TARInfoList(const TARInfoList &) = delete;
    TARInfoList &operator=(const TARInfoList &) = delete;

    // Appends the record (its SPS set); the list keeps it where it is until Clear.
    TARInfo &Add(const TARInfo &info);
    void Clear();
    size_t Count() const { return FItems.size(); }
    TARInfo *Items(size_t index); // raises std::out_of_range outside 0 .. Count - 1
    const TARInfo *Items(size_t index) const;
    bool CanSave() const;
    void ResetAll();

    // What a save would do: the patches of every changed record and of the container statements of their
    // tracks, the checksums over the bytes they change, with the refusals and notes found while planning.
    // Reads nothing.
    TPatchPlan PlanChanges();
    // Checks the plan against the file before anything is written: the refusals of the plan and of the
    // file (places changed since the scan, overlapping places). Reads the file; writes nothing.
    std::vector<TWriteRefusal> CheckChanges(TStream &stream);
    // Writes the plan in place (see TPatchPlan::Apply). Raises Exception, writing nothing, when anything
    // is refused. Afterwards the records hold the written values and no longer count as changed.
    TWriteReport WriteChanges(TStream &stream);

private:
    TScanSession &FSession;
    std::deque<TARInfo> FItems; // a deque: records stay where they are while more are added
};
