// cpp-httplib as the Windows build compiles it (qdx_httplib), under Wine: a
// server on 127.0.0.1 (a port the system picks) answers the program's own
// client over Winsock: a small page, a missing one, and a body far larger
// than one send, which must arrive whole.
//
// Usage: httplib_check.exe
// Ends with "N passed, N failed".
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/wine/check.h"

int main() {
    using wine_check::g_case;
    g_case = "serve on 127.0.0.1";
    std::string large(3 << 20, '\0');  // 3 MB, a pattern a lost or repeated block would break
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);

    httplib::Server server;
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<p>ok</p>", "text/html");
    });
    server.Get("/large", [&large](const httplib::Request&, httplib::Response& res) {
        res.set_content(large, "application/octet-stream");
    });
    // Whole, not fast: under 32-bit Wine in an emulated machine the 3 MB
    // took longer than the library's 5 s write timeout.
    server.set_write_timeout(120);
    const int port = server.bind_to_any_port("127.0.0.1");
    if (!CHECK(port > 0)) return wine_check::CheckSummary();
    std::thread serving([&server] { server.listen_after_bind(); });
    for (int i = 0; i < 500 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CHECK(server.is_running());
    std::printf("serving on 127.0.0.1:%d\n", port);

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(120);
    struct Case {
        const char* path;
        int status;
        const std::string* body;  // nullptr: not compared
        const char* type;
    };
    const std::string page = "<p>ok</p>";
    const Case cases[] = {
        {"/", 200, &page, "text/html"},
        {"/missing", 404, nullptr, nullptr},
        {"/large", 200, &large, "application/octet-stream"},
    };
    for (const Case& c : cases) {
        g_case = c.path;
        const auto res = client.Get(c.path);
        if (!CHECK(res)) {
            std::printf("  error %d\n", static_cast<int>(res.error()));
            continue;
        }
        CHECK_EQ(res->status, c.status);
        if (c.body) CHECK(res->body == *c.body);
        if (c.type) CHECK(res->get_header_value("Content-Type") == c.type);
    }

    g_case = "stop";
    server.stop();
    serving.join();
    CHECK(!server.is_running());
    return wine_check::CheckSummary();
}
