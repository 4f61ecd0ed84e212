// Asking the system's service manager about one line's service: install,
// remove, start, stop and reload (Windows' service control manager). Each
// throws ToolError with the system's reason. On POSIX each refuses and
// names systemd's unit, which does the same there.
#ifndef QDXPOLL_SERVICE_CONTROL_H
#define QDXPOLL_SERVICE_CONTROL_H

#include <string>

struct ServiceState {
    bool running = false;
    int exit_code = 0;             // the program's, once stopped
    unsigned long process_id = 0;  // while running
};

// Throws, naming systemd, where there is no service control manager.
void RequireServiceManager();
// Registered to start at boot with command_line, restarted 10 s after a
// failure (3 times within 5 minutes, as the unit does).
void InstallLineService(const std::string& name, const std::string& description, const std::string& command_line);
// Stopped first when it runs.
void RemoveLineService(const std::string& name);
// Started, then waited for until it runs or has stopped again (at most
// wait_s); a service already running is left so.
ServiceState StartLineService(const std::string& name, int wait_s);
// Stopped and waited for (at most wait_s); one already stopped is left so.
ServiceState StopLineService(const std::string& name, int wait_s);
// Its file read again, the port kept (the manager's parameter change).
void ReloadLineService(const std::string& name);
// The command line it was registered with.
std::string LineServiceCommand(const std::string& name);

#endif  // QDXPOLL_SERVICE_CONTROL_H
