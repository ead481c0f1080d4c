#pragma once

// Visits to places of a file that a walker knows before it reads them (samples from their tables): each
// place is told to the stream a fixed number of places before it is visited, so that the system brings in
// the next places while this one is read, many at once, instead of one wait for the disk per place.

#include "base/Streams.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

template <class TPlace> class TPlannedVisits {
public:
    // visit reads one place; false stops the visits. The stream reads from here on as planned.
    TPlannedVisits(TStream &stream, std::function<bool(const TPlace &)> visit, size_t lead = DefaultLead)
        : FStream(stream), FVisit(std::move(visit)), FLead(lead) {
        FStream.PlanReads();
    }

    static constexpr size_t DefaultLead = 256;

    // The next place, whose bytes [offset, offset + count) it may read (count 0: it reads none). False
    // once a visit has stopped the visits: the place is not visited.
    bool Add(const TPlace &place, int64_t offset, int64_t count) {
        if (FStopped)
            return false;
        FStream.Expect(offset, count);
        FWaiting.push_back(place);
        if (FWaiting.size() > FLead)
            VisitFirst();
        return !FStopped;
    }

    // Visits the places still waiting; false when a visit stopped the visits.
    bool Finish() {
        while (!FStopped && !FWaiting.empty())
            VisitFirst();
        return !FStopped;
    }

private:
    void VisitFirst() {
        const TPlace place = FWaiting.front();
        FWaiting.pop_front();
        FStopped = !FVisit(place);
        if (FStopped)
            FWaiting.clear();
    }

    TStream &FStream;
    std::function<bool(const TPlace &)> FVisit;
    size_t FLead;
    std::deque<TPlace> FWaiting;
    bool FStopped = false;
};
