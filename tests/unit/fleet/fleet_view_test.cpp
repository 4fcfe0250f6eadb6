// The fleet's tally of what the simulators hear, in virtual time: the times
// are given, nothing sleeps.
#include "fleet_view.h"

#include <gtest/gtest.h>

namespace {

using sim::FleetView;
using sim::Stage;

// One AP provisioned at t = 2 with heartbeats every 10 s.
void provision(FleetView &v) {
    v.add("AP1", "ostrel", 10);
    v.join_heard("AP1", "ostrel", 1);
    v.config_heard("AP1", "ostrel", 1.5);
    v.config_accepted("AP1", "ostrel", 2);
}

TEST(FleetView, StagesFollowWhatIsHeardAndTheFleetIsUpWhenAllRun) {
    FleetView v;
    v.add("AP1", "Fenwire", 11);
    v.add("AP2", "ostrel", 30);
    EXPECT_EQ(v.counts(0).count[static_cast<int>(Stage::Waiting)], 2);
    v.join_heard("AP1", "Fenwire", 1);
    v.config_heard("AP1", "Fenwire", 2);
    v.config_accepted("AP1", "Fenwire", 3);
    v.join_heard("AP2", "ostrel", 4);
    auto c = v.counts(4);
    EXPECT_EQ(c.count[static_cast<int>(Stage::Run)], 1);
    EXPECT_EQ(c.count[static_cast<int>(Stage::Join)], 1);
    EXPECT_EQ(v.all_run_at(), -1);
    v.config_accepted("AP2", "ostrel", 7);
    EXPECT_EQ(v.all_run_at(), 7);
    // Leaving the run state and coming back keeps the first entry.
    v.join_heard("AP1", "Fenwire", 20);
    v.config_accepted("AP1", "Fenwire", 22);
    EXPECT_EQ(v.all_run_at(), 7);
    EXPECT_EQ(v.records()[0].second.rejoins, 1);
}

TEST(FleetView, HeartbeatsOnTimeMissNothing) {
    FleetView v;
    provision(v);
    // Late by up to half a period (a loaded machine) is still on time.
    for (double t : {12.0, 22.0, 36.5, 46.0, 56.0}) v.life_heard("AP1", "ostrel", t);
    EXPECT_EQ(v.missed(60), 0);
    EXPECT_EQ(v.counts(60).late, 0);
}

TEST(FleetView, SilencesCountTheHeartbeatsThatDidNotCome) {
    struct Case {
        double next;  // the next heartbeat after the one at t = 12
        int missed;
    } cases[] = {{27.0, 0}, {27.5, 1}, {32.0, 1}, {42.0, 2}, {72.0, 5}};
    for (const auto &c : cases) {
        FleetView v;
        provision(v);
        v.life_heard("AP1", "ostrel", 12);
        v.life_heard("AP1", "ostrel", c.next);
        EXPECT_EQ(v.missed(c.next), c.missed) << "next heartbeat at " << c.next;
    }
}

TEST(FleetView, AnOverdueHeartbeatCountsBeforeItComesAndAQuietRejoinCountsToo) {
    FleetView v;
    provision(v);
    v.life_heard("AP1", "ostrel", 12);
    EXPECT_EQ(v.counts(26).late, 0);
    EXPECT_EQ(v.counts(28).late, 1);
    EXPECT_EQ(v.missed(28), 1);
    // It went quiet and joined again: the silence is kept as misses.
    v.join_heard("AP1", "ostrel", 45);
    EXPECT_EQ(v.missed(45), 2);
    EXPECT_EQ(v.counts(100).late, 0);  // not in the run state: nothing is due
}

TEST(FleetView, APsOfAnotherMachineAreCountedAsTheyAreHeard) {
    FleetView v;
    v.set_default_period("Fenwire", 11);
    v.life_heard("XX0001", "Fenwire", 5);  // heard in the run state at once
    v.life_heard("XX0001", "Fenwire", 30);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v.stage("XX0001"), Stage::Run);
    EXPECT_EQ(v.all_run_at(), 5);
    EXPECT_EQ(v.missed(30), 1);
}

}  // namespace
