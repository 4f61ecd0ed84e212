// No service control manager on POSIX: systemd's unit qdxpoll@.service runs
// a line there.
#include "platform/service_control.h"

#include "base/exit_codes.h"

namespace {

[[noreturn]] void UseSystemd() {
    throw ToolError(kExitUsage, "service manages a Windows service; on Linux systemd runs the line",
                    "sudo systemctl enable --now qdxpoll@line1 runs /etc/qdxtlmv/line1.toml (README: 'Run a line "
                    "as a service')");
}

}  // namespace

void RequireServiceManager() { UseSystemd(); }
void InstallLineService(const std::string&, const std::string&, const std::string&) { UseSystemd(); }
void RemoveLineService(const std::string&) { UseSystemd(); }
ServiceState StartLineService(const std::string&, int) { UseSystemd(); }
ServiceState StopLineService(const std::string&, int) { UseSystemd(); }
void ReloadLineService(const std::string&) { UseSystemd(); }
std::string LineServiceCommand(const std::string&) { UseSystemd(); }
