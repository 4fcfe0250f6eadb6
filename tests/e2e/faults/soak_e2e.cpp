// A soak of both agents at once: station churn, heartbeats and a broker
// restart now and then, for SOAK_SECONDS (default 60; scripts/test --soak runs 600). The figures at the
// start and the end are printed as "[soak] ...".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "rigs.h"
#include "station_flood.h"
#include "wait_until.h"

namespace faults {
namespace {

int soak_seconds() {
    const char *v = std::getenv("SOAK_SECONDS");
    int s = v ? std::atoi(v) : 0;
    return s > 0 ? s : 60;
}

TEST(Soak, BothAgentsWithStationChurnHeartbeatsAndBrokerRestarts) {
    std::unique_ptr<Rig> rigs[] = {make_rig("Fenwire"), make_rig("ostrel")};
    for (auto &r : rigs) r->start();
    Figures start[2];
    std::unique_ptr<EventSender> wifi[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(rigs[i]->wait_runs(1)) << rigs[i]->log();
        ASSERT_TRUE(rigs[i]->answers()) << rigs[i]->log();
        ASSERT_TRUE(sandbox::wait_until(
            [&] { return rigs[i]->box.exists(rigs[i]->wifi_rel + "/events.sock"); }));
        wifi[i] = std::make_unique<EventSender>(rigs[i]->wifi_dir());
        start[i] = rigs[i]->figures();
    }
    const int seconds = soak_seconds();
    auto begin = std::chrono::steady_clock::now();
    for (int tick = 0;; ++tick) {
        auto next = begin + std::chrono::seconds(tick + 1);
        if (next > begin + std::chrono::seconds(seconds)) break;
        for (int i = 0; i < 2; ++i) {
            // Up to 8 stations in turn: joins of the next, leaves of the oldest.
            wifi[i]->send(true, 0xD00000 + tick % 64);
            if (tick >= 8) wifi[i]->send(false, 0xD00000 + (tick - 8) % 64);
            ASSERT_TRUE(rigs[i]->running()) << rigs[i]->log();
        }
        if (tick % 20 == 19)
            for (auto &r : rigs) {
                r->broker.stop();
                r->broker.start();
            }
        std::this_thread::sleep_until(next);  // the pace of the churn
    }
    for (int i = 0; i < 2; ++i) {
        Rig &r = *rigs[i];
        ASSERT_TRUE(r.answers(60000)) << r.log();
        Figures end;
        bool settled = r.settles_to(start[i], end);
        std::cout << "[soak] " << r.name() << " after " << seconds << " s: start "
                  << describe(start[i]) << "; end " << describe(end) << std::endl;
        EXPECT_TRUE(settled);
        // The bound of the fault scenarios (faults_e2e.cpp): a leak of a copy
        // per message or event over the soak exceeds it.
        EXPECT_LE(end.private_dirty_kb - start[i].private_dirty_kb, 4 * 1024);
    }
}

}  // namespace
}  // namespace faults
