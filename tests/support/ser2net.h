// Debian's ser2net as a device server for tests: started as a child on
// 127.0.0.1 at a free TCP port, with a configuration made for the one
// device it serves, raw TCP or telnet with RFC 2217, and stopped (or
// restarted on the same port) by the test.
#ifndef QDXTLMV_TESTS_SUPPORT_SER2NET_H
#define QDXTLMV_TESTS_SUPPORT_SER2NET_H

#include <string>

#include "support/child_process.h"

namespace qdxtest {

enum class Ser2netMode { kRawTcp, kRfc2217 };

class Ser2net {
public:
    Ser2net() = default;
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Whether ser2net is installed (tests skip, saying so, where it is not).
    static bool Available();

    // Serves device (e.g. rexfsim's pseudo-terminal) at line (ser2net's
    // form, e.g. 9600o72) on 127.0.0.1 at a free port, and waits until it
    // listens. False, with *error set, when it does not come up.
    bool Start(const std::string& device, Ser2netMode mode, std::string* error,
               const std::string& line = "9600n81");
    // Stops it (its connections close); Restart starts it again on the same
    // port.
    void Stop();
    bool Restart(std::string* error);

    bool running() const { return child_.pid() > 0; }
    int port() const { return port_; }
    // The name qdxpoll takes: tcp:127.0.0.1:PORT or rfc2217:127.0.0.1:PORT.
    std::string PortName() const;

private:
    bool Launch(std::string* error);

    support::ChildProcess child_;
    std::string device_, line_, config_;
    Ser2netMode mode_ = Ser2netMode::kRawTcp;
    int port_ = 0;
};

}  // namespace qdxtest

#endif  // QDXTLMV_TESTS_SUPPORT_SER2NET_H
