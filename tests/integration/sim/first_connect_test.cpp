// Each simulator connects whenever its broker comes up: started before the
// broker, it keeps trying the first connect; later the library reconnects.
#include <gtest/gtest.h>

#include <string>

#include "acsim.h"
#include "broker.h"
#include "cloudsim.h"
#include "mqtt_probe.h"

namespace {

// A join request from an AP on `ask` is answered on `answer`.
void answers_a_join(int port, const std::string &ask, const std::string &answer) {
    sandbox::MqttProbe ap(port, "tavrin_AB12");
    ap.subscribe(answer);
    ap.publish(ask, R"({"type":"join","sn":"AB12"})");
    ASSERT_TRUE(ap.wait_heard(1));
    EXPECT_EQ(ap.heard()[0].topic, answer);
}

template <typename Sim, typename Settings>
void connects_whenever_the_broker_comes_up(const std::string &ask, const std::string &answer) {
    sandbox::Broker broker;
    broker.stop();
    Settings settings;
    settings.port = broker.port();
    Sim simulator(settings);
    simulator.start();
    EXPECT_FALSE(simulator.ready());
    broker.start();
    ASSERT_TRUE(sandbox::wait_until([&] { return simulator.ready(); }));
    answers_a_join(broker.port(), ask, answer);

    broker.stop();
    ASSERT_TRUE(sandbox::wait_until([&] { return !simulator.ready(); }));
    broker.start();
    ASSERT_TRUE(sandbox::wait_until([&] { return simulator.ready(); }, 15000));
    answers_a_join(broker.port(), ask, answer);
}

TEST(SimFirstConnect, AcsimStartedBeforeTheBrokerConnectsWhenItComesUp) {
    connects_whenever_the_broker_comes_up<sim::AcSim, sim::AcSettings>("config/AB12", "apsub/AB12");
}

TEST(SimFirstConnect, CloudsimStartedBeforeTheBrokerConnectsWhenItComesUp) {
    connects_whenever_the_broker_comes_up<sim::CloudSim, sim::CloudSettings>("ostrel/AB12/config",
                                                                             "ostrel/AB12/down");
}

TEST(SimFirstConnect, StoppingASimThatNeverReachedItsBrokerEndsAtOnce) {
    sandbox::Broker broker;
    broker.stop();
    sim::CloudSettings settings;
    settings.port = broker.port();
    sim::CloudSim cloud(settings);
    cloud.start();
    cloud.stop();
    EXPECT_FALSE(cloud.ready());
}

}  // namespace
