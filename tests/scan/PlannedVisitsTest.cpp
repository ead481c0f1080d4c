#include "scan/PlannedVisits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A stream that notes, in one list, the places it is told of ("expect 5") and the visits ("visit 5").
class TNotingStream : public TMemoryStream {
public:
    explicit TNotingStream(std::vector<std::string> &log) : FLog(log) {}
    void PlanReads() override { FLog.push_back("plan"); }
    void Expect(int64_t offset, int64_t count) override {
        FLog.push_back("expect " + std::to_string(offset) + (count == 0 ? " (nothing)" : ""));
    }

private:
    std::vector<std::string> &FLog;
};

// Each place is told to the stream before it is visited, the lead number of places ahead, in the order
// given; the places still waiting are visited by Finish.
TEST(PlannedVisits, PlacesAreToldTheLeadAheadOfTheirVisits) {
    std::vector<std::string> log;
    TNotingStream stream(log);
    TPlannedVisits<int> visits(
        stream,
        [&log](const int &place) {
            log.push_back("visit " + std::to_string(place));
            return true;
        },
        2);
    for (int place = 0; place < 5; ++place)
        EXPECT_TRUE(visits.Add(place, place, place == 3 ? 0 : 10));
    EXPECT_TRUE(visits.Finish());
    EXPECT_EQ(log, (std::vector<std::string>{"plan", "expect 0", "expect 1", "expect 2", "visit 0",
                                             "expect 3 (nothing)", "visit 1", "expect 4", "visit 2",
                                             "visit 3", "visit 4"}));
}

// A visit that says stop ends the visits: the places after it are not visited, though the stream was told
// of them, and Add and Finish say so.
TEST(PlannedVisits, AVisitThatStopsEndsTheVisits) {
    std::vector<std::string> log;
    TNotingStream stream(log);
    std::vector<int> visited;
    TPlannedVisits<int> visits(
        stream,
        [&visited](const int &place) {
            visited.push_back(place);
            return place != 2;
        },
        3);
    bool going = true;
    int added = 0;
    for (; added < 100 && going; ++added)
        going = visits.Add(added, added, 1);
    EXPECT_FALSE(going);
    EXPECT_EQ(added, 6); // place 5 came in as place 2 was visited
    EXPECT_FALSE(visits.Add(99, 99, 1));
    EXPECT_FALSE(visits.Finish());
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2}));

    // Stopped while waiting places are visited by Finish.
    std::vector<int> late;
    TPlannedVisits<int> finishing(
        stream,
        [&late](const int &place) {
            late.push_back(place);
            return place != 1;
        },
        10);
    for (int place = 0; place < 4; ++place)
        EXPECT_TRUE(finishing.Add(place, place, 1));
    EXPECT_FALSE(finishing.Finish());
    EXPECT_EQ(late, (std::vector<int>{0, 1}));
}

} // namespace
