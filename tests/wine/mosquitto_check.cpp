// libmosquitto as the Windows build compiles it (qdx_mosquitto), under Wine:
// its version is the one fetched, it refuses TLS (built without OpenSSL),
// and, given a broker's port on 127.0.0.1, its own network thread connects,
// subscribes, publishes at QoS 1 (PUBACK) and receives the message back.
//
// Usage: mosquitto_check.exe [PORT]
// Ends with "N passed, N failed".
#include <mosquitto.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/wine/check.h"

namespace {

using wine_check::g_case;

struct State {
    std::atomic<int> connected{-1};  // the CONNACK's code
    std::atomic<bool> subscribed{false};
    std::atomic<bool> acknowledged{false};
    std::atomic<bool> received{false};
    std::string payload;  // written before received is set
};

const char kTopic[] = "qdxtlmv/wine/check";
const char kPayload[] = "{\"PV\":\"215.4\"}";

bool WaitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag.load(); ++i) Sleep(10);
    return flag.load();
}

}  // namespace

int main(int argc, char** argv) {
    g_case = "library";
    CHECK_EQ(mosquitto_lib_init(), MOSQ_ERR_SUCCESS);
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    char version[32];
    std::snprintf(version, sizeof version, "%d.%d.%d", major, minor, revision);
    std::printf("libmosquitto %s\n", version);
    CHECK(std::strcmp(version, QDX_EXPECTED_MOSQUITTO_VERSION) == 0);

    State state;
    mosquitto* mosq = mosquitto_new("qdxtlmv-wine-check", true, &state);
    if (!CHECK(mosq != nullptr)) return wine_check::CheckSummary();
    // Built without OpenSSL: TLS is refused, never silently skipped.
    CHECK_EQ(mosquitto_tls_set(mosq, "ca.pem", nullptr, nullptr, nullptr, nullptr), MOSQ_ERR_NOT_SUPPORTED);

    const int port = argc > 1 ? std::atoi(argv[1]) : 0;
    if (port > 0) {
        g_case = "round trip through a broker";
        mosquitto_connect_callback_set(mosq, [](mosquitto*, void* obj, int rc) {
            static_cast<State*>(obj)->connected = rc;
        });
        mosquitto_subscribe_callback_set(mosq, [](mosquitto*, void* obj, int, int, const int*) {
            static_cast<State*>(obj)->subscribed = true;
        });
        mosquitto_publish_callback_set(mosq, [](mosquitto*, void* obj, int) {
            static_cast<State*>(obj)->acknowledged = true;
        });
        mosquitto_message_callback_set(mosq, [](mosquitto*, void* obj, const mosquitto_message* message) {
            auto* s = static_cast<State*>(obj);
            s->payload.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
            s->received = true;
        });
        // Each step waits only when the one before it worked.
        if (CHECK_EQ(mosquitto_connect(mosq, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS) &&
            CHECK_EQ(mosquitto_loop_start(mosq), MOSQ_ERR_SUCCESS)) {
            if (CHECK_EQ(mosquitto_subscribe(mosq, nullptr, kTopic, 1), MOSQ_ERR_SUCCESS) &&
                CHECK(WaitFor(state.subscribed)) && CHECK_EQ(state.connected.load(), 0) &&
                CHECK_EQ(mosquitto_publish(mosq, nullptr, kTopic, static_cast<int>(std::strlen(kPayload)),
                                           kPayload, 1, false),
                         MOSQ_ERR_SUCCESS)) {
                CHECK(WaitFor(state.acknowledged));
                if (CHECK(WaitFor(state.received))) CHECK(state.payload == kPayload);
            }
            CHECK_EQ(mosquitto_disconnect(mosq), MOSQ_ERR_SUCCESS);
            CHECK_EQ(mosquitto_loop_stop(mosq, false), MOSQ_ERR_SUCCESS);
        }
    } else {
        std::printf("no broker port given: the round trip is not checked\n");
    }
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return wine_check::CheckSummary();
}
