// A teardown that hangs ends the process after 3 (virtual) seconds with the
// two restart lines and exit status 0. Run in a child process, since it exits.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "fenwire_fixture.h"
#include "mqtt_lib.h"

namespace fenwire_test {
namespace {

plat::VirtualClock *child_clock = nullptr;
struct mosquitto *made = nullptr;

struct mosquitto *remember_create(const char *id, bool clean, void *obj) {
    return made = mqtt_real_lib().create(id, clean, obj);
}
int ok_connect(struct mosquitto *, const char *, int, int, const char *) {
    return 0;
}
int ok_loop_start(struct mosquitto *) {
    return 0;
}
int ok_subscribe(struct mosquitto *, int *, const char *, int) {
    return 0;
}
int ok_unsubscribe(struct mosquitto *, int *, const char *) {
    return 0;
}
int ok_disconnect(struct mosquitto *) {
    return 0;
}
// The network thread never ends: 3 seconds pass and the join still waits.
int hanging_loop_stop(struct mosquitto *, bool) {
    child_clock->advance(3000000);
    for (;;) pause();
}

using Teardown = FenwireTest;

TEST_F(Teardown, HangingTeardownRestartsTheProcess) {
    child_clock = &clock;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    const std::string out = dir_ + "/stdout";
    if (pid == 0) {
        // Standard output to a file is block-buffered: what the station
        // thread printed is lost unless the exit flushes it.
        if (!std::freopen(out.c_str(), "w", stdout)) _exit(92);
        std::printf("unable to get station information");
        static MqttLib lib = mqtt_real_lib();
        lib.create = remember_create;
        lib.connect_bind = ok_connect;
        lib.loop_start = ok_loop_start;
        lib.subscribe = ok_subscribe;
        lib.unsubscribe = ok_unsubscribe;
        lib.disconnect = ok_disconnect;
        lib.loop_stop = hanging_loop_stop;
        mqtt_set_lib(&lib);
        if (mqtt_init(L) != 1) _exit(90);
        my_connect_callback(made, nullptr, 0);
        mqtt_clean();
        _exit(91);  // not reached: the watchdog ends the process
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = log_text();
    size_t close = log.find("\tmqtt close connect\n");
    size_t failed = log.find("\tclean mqtt failed\n");
    size_t restart = log.find("\t!!! Restart Mqtt !!!\n");
    ASSERT_NE(close, std::string::npos) << log;
    EXPECT_TRUE(close < failed && failed < restart && restart != std::string::npos) << log;
    EXPECT_EQ(log.find("\tmqtt clean ok\n"), std::string::npos);
    std::ifstream printed(out);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(printed), {}),
              "unable to get station information");
}

TEST_F(Teardown, CallbacksOfAClientNoLongerInUseAreIgnored) {
    int stale = 0;
    auto *m = reinterpret_cast<struct mosquitto *>(&stale);
    my_connect_callback(m, nullptr, 0);
    my_disconnect_callback(m, nullptr, 0);
    mqtt_deliver("x", 1);  // a message of the current session still lands
    EXPECT_EQ(mqtt_connect, 0);
    EXPECT_EQ(log_count("mqtt connect ok"), 0);
    EXPECT_EQ(log_count("mqtt disconnect ok"), 0);
}

TEST_F(Teardown, CleanWithoutAConnectedSessionDoesNothing) {
    mqtt_clean();
    mqtt_connect = 1;
    mqtt_clean();  // connected flag but no client
    mqtt_connect = 0;
    EXPECT_EQ(log_count("mqtt clean"), 0);
}

}  // namespace
}  // namespace fenwire_test
