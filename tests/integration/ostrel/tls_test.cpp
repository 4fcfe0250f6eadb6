// ostrel's TLS session against a real mosquitto TLS listener, with
// certificates made for each test. The virtual clock stays installed: the
// pauses between connect attempts take no time, the handshake is real.
#include <gtest/gtest.h>

#include <string>

#include "broker.h"
#include "locks.h"
#include "mqtt_lib.h"
#include "mqtt_probe.h"
#include "mqtt_session.h"
#include "ostrel_fixture.h"
#include "states.h"
#include "test_certs.h"

namespace ostrel_test {
namespace {

using sandbox::Broker;
using sandbox::MqttProbe;
using sandbox::TlsListener;
using sandbox::wait_until;
using testcerts::CertPair;
using testcerts::TestCa;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Whether the linked libmosquitto was built with TLS (the target's is not):
// without, its TLS call answers "not supported" before looking at a file.
bool library_has_tls() {
    static const bool has = [] {
        mosquitto_lib_init();
        struct mosquitto *m = mosquitto_new("tls-probe", true, nullptr);
        const int rc = m ? mosquitto_tls_set(m, nullptr, "/", nullptr, nullptr, nullptr)
                         : int{MOSQ_ERR_NOMEM};
        if (m) mosquitto_destroy(m);
        return rc != MOSQ_ERR_NOT_SUPPORTED;
    }();
    return has;
}

#define NEEDS_TLS() \
    if (!library_has_tls()) GTEST_SKIP() << "libmosquitto built without TLS"

int count(const std::string &text, const std::string &what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class TlsLink : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        mqtt_set_transport(nullptr);  // publish through the session
        mqtt_connect = 0;
    }
    void TearDown() override {
        mqtt_session::close(false);
        mqtt_set_lib(nullptr);
        OstrelTest::TearDown();
    }
    // The script's TLS settings: broker port and files.
    void settings(int port, const std::string &cafile, const CertPair &client = {}) {
        lua("server_tls = true server_port = " + std::to_string(port) + " server_cafile = '" +
            cafile + "' server_certfile = '" + client.cert + "' server_keyfile = '" + client.key +
            "'");
    }
    // What the join state reads before mqtt_init.
    void read_tls_settings() {
        read_settings();
        server_tls_init(L);
    }
    // The join state's entry (settings, mqtt_init, ...), its output kept.
    int enter_join(std::string *out) {
        CaptureStdout();
        int next = ostrel_step(STATE_JOIN);
        *out = GetCapturedStdout();
        return next;
    }
    // A session that was refused: the reset path, one line per attempt (or
    // none), and the broker never saw the agent's MQTT connect.
    void expect_refused(const Broker &broker, int failed_lines, const std::string &line) {
        std::string out;
        const double before = clock.elapsed();
        EXPECT_EQ(enter_join(&out), STATE_RESET);
        EXPECT_EQ(count(out, line), failed_lines) << out;
        EXPECT_EQ(mqtt_connect.load(), 0);
        EXPECT_EQ(clock.elapsed() - before, failed_lines > 1 ? failed_lines - 1 : 0);
        EXPECT_EQ(count(broker.log(), "as tavrin_AB12"), 0) << broker.log();
    }

    TestCa ca{"Cloud CA"};
    CertPair server = ca.issue("127.0.0.1", "IP:127.0.0.1");
};

TEST_F(TlsLink, VerifiedBrokerCarriesTheSessionBothWays) {
    NEEDS_TLS();
    Broker broker(TlsListener{"", server.cert, server.key});
    settings(broker.tls_port(), ca.cafile());
    read_tls_settings();
    ASSERT_EQ(mqtt_init(), 1);
    ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
    EXPECT_NE(broker.log().find("on port " + std::to_string(broker.tls_port())), std::string::npos);
    EXPECT_EQ(count(broker.log(), "as tavrin_AB12"), 1) << broker.log();

    MqttProbe cloud(broker.port(), "cloud");  // the broker's plain listener
    cloud.subscribe("t/#");
    // Retained: it reaches the agent whether its subscription is in place yet or not.
    cloud.publish("t/sub", "join-ok", 1, true);
    ASSERT_TRUE(wait_until([] { return AP_STATE.load() == 1; }));
    {
        std::lock_guard<std::recursive_mutex> lock(lua_mutex);
        EXPECT_EQ(lua_strings("calls"), std::vector<std::string>{"join:join-ok"});
    }
    mqtt_send_msg("hb", "logger", nullptr, 2);
    ASSERT_TRUE(cloud.wait_heard(2));
    EXPECT_EQ(cloud.heard()[1].topic, "t/logger");
    EXPECT_EQ(cloud.heard()[1].payload, "hb");
}

TEST_F(TlsLink, BrokerThatFailsTheChecksIsAFailedConnectAndTheResetPath) {
    NEEDS_TLS();
    TestCa other("Other CA");
    const struct {
        const char *what;
        CertPair cert;
        std::string cafile;
    } cases[] = {
        {"CA other than the broker's", server, other.cafile()},
        {"expired certificate", ca.issue("127.0.0.1", "IP:127.0.0.1", -1), ca.cafile()},
        {"certificate for another name", ca.issue("other.example", "DNS:other.example"),
         ca.cafile()},
        {"no CA given: the system's, which know no test CA", server, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Broker broker(TlsListener{"", c.cert.cert, c.cert.key});
        settings(broker.tls_port(), c.cafile);
        expect_refused(broker, 3, "tls connect failed: ");
    }
}

TEST_F(TlsLink, BrokerAskingForAClientCertificateTakesOnlyOneItsCaSigned) {
    NEEDS_TLS();
    Broker broker(TlsListener{ca.cafile(), server.cert, server.key, true});
    TestCa other("Other CA");
    const struct {
        const char *what;
        CertPair client;
    } refused[] = {
        {"withheld", {}},
        {"signed by another CA", other.issue("AB12", "DNS:ap.example")},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        settings(broker.tls_port(), ca.cafile(), c.client);
        expect_refused(broker, 3, "tls connect failed: ");
    }

    settings(broker.tls_port(), ca.cafile(), ca.issue("AB12", "DNS:ap.example"));
    read_tls_settings();
    ASSERT_EQ(mqtt_init(), 1);
    ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
    EXPECT_EQ(count(broker.log(), "as tavrin_AB12"), 1) << broker.log();
}

// The agent is pointed at the plain listener here: a session that went on
// without TLS would connect there.
TEST_F(TlsLink, FilesTheLibraryCannotUseRefuseTheSessionInsteadOfGoingPlain) {
    NEEDS_TLS();
    Broker broker(TlsListener{"", server.cert, server.key});
    const std::string junk = ca.file("junk.pem", "not a certificate\n");
    const struct {
        const char *what;
        std::string cafile;
        CertPair client;
        int lines;  // refused at once, or at each attempt
    } cases[] = {
        {"CA file missing", "/nonexistent/ca.pem", {}, 1},
        {"certificate without its key", ca.cafile(), {server.cert, ""}, 1},
        {"CA file not a certificate", junk, {}, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        settings(broker.port(), c.cafile, c.client);
        expect_refused(broker, c.lines, "tls connect failed: ");
    }
}

TEST_F(TlsLink, BuildWithoutTlsRefusesTheSessionThatAsksForIt) {
    Broker broker;
    static MqttLib lib = mqtt_real_lib();
    lib.tls_set = [](struct mosquitto *, const char *, const char *, const char *, const char *,
                     int (*)(char *, int, int, void *)) { return int{MOSQ_ERR_NOT_SUPPORTED}; };
    mqtt_set_lib(&lib);
    settings(broker.port(), ca.cafile());
    std::string out;
    EXPECT_EQ(enter_join(&out), STATE_RESET);
    EXPECT_EQ(out, "tls not supported by this build, session refused\n");
    EXPECT_EQ(count(broker.log(), "as tavrin_AB12"), 0) << broker.log();
}

// The real library of a build without TLS (the target's): its refusal is the
// session's, and nothing reaches the broker.
TEST_F(TlsLink, LibraryWithoutTlsRefusesTheSessionThatAsksForIt) {
#ifdef APM_MOSQUITTO_WITHOUT_TLS
    ASSERT_FALSE(library_has_tls()) << "this build's libmosquitto was to have no TLS";
#else
    if (library_has_tls()) GTEST_SKIP() << "libmosquitto built with TLS";
#endif
    Broker broker;
    settings(broker.port(), ca.cafile());
    std::string out;
    EXPECT_EQ(enter_join(&out), STATE_RESET);
    EXPECT_EQ(out, "tls not supported by this build, session refused\n");
    EXPECT_EQ(mqtt_connect.load(), 0);
    EXPECT_EQ(count(broker.log(), "as tavrin_AB12"), 0) << broker.log();
}

TEST_F(TlsLink, WithoutServerTlsTheFilesAreIgnoredAndTheLinkIsPlain) {
    Broker broker;
    settings(broker.port(), "/nonexistent/ca.pem");
    lua("server_tls = false");
    read_tls_settings();
    ASSERT_EQ(mqtt_init(), 1);
    ASSERT_TRUE(wait_until([] { return mqtt_connect.load() == 1; }));
}

}  // namespace
}  // namespace ostrel_test
