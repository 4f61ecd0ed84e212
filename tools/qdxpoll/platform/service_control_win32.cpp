// One line's service, through Windows' service control manager.
#include "platform/service_control.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "base/exit_codes.h"

namespace {

struct HandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, HandleCloser>;

[[noreturn]] void Fail(const std::string& what, const std::string& name) {
    const DWORD error = GetLastError();
    const std::string reason = what + " (error " + std::to_string(error) + ")";
    switch (error) {
        case ERROR_ACCESS_DENIED:
            throw ToolError(kExitNotPermitted, reason + ": this user may not manage services",
                            "run it from a prompt opened with 'Run as administrator'");
        case ERROR_SERVICE_DOES_NOT_EXIST:
            throw ToolError(kExitUsage, reason + ": no service " + name + " is installed",
                            "qdxpoll service install --config FILE installs it");
        case ERROR_SERVICE_EXISTS:
        case ERROR_DUPLICATE_SERVICE_NAME:
            throw ToolError(kExitUsage, reason + ": the service " + name + " is installed already",
                            "qdxpoll service remove --config FILE first, to install it anew");
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            throw ToolError(kExitUsage, reason + ": the service " + name + " is being removed",
                            "close the Services window (or what else holds it), then try again");
        default:
            throw ToolError(kExitInternal, reason, "");
    }
}

ServiceHandle OpenManager(DWORD access) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, access));
    if (!manager) Fail("cannot reach the service control manager", "");
    return manager;
}

ServiceHandle Open(SC_HANDLE manager, const std::string& name, DWORD access) {
    ServiceHandle service(OpenServiceA(manager, name.c_str(), access));
    if (!service) Fail("cannot open the service " + name, name);
    return service;
}

SERVICE_STATUS_PROCESS Query(SC_HANDLE service, const std::string& name) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        Fail("cannot ask for the state of " + name, name);
    return status;
}

ServiceState StateOf(const SERVICE_STATUS_PROCESS& status) {
    ServiceState state;
    state.running = status.dwCurrentState == SERVICE_RUNNING;
    state.process_id = status.dwProcessId;
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) state.exit_code = status.dwServiceSpecificExitCode;
    else if (status.dwWin32ExitCode != NO_ERROR) state.exit_code = kExitInternal;
    return state;
}

// Until the service leaves the pending state it is in, or wait_s is over.
SERVICE_STATUS_PROCESS WaitSettled(SC_HANDLE service, const std::string& name, DWORD pending, int wait_s) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(wait_s);
    SERVICE_STATUS_PROCESS status = Query(service, name);
    while (status.dwCurrentState == pending && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        status = Query(service, name);
    }
    if (status.dwCurrentState == pending)
        throw ToolError(kExitInternal, "the service " + name + " is still " +
                                           (pending == SERVICE_START_PENDING ? "starting" : "stopping") + " after " +
                                           std::to_string(wait_s) + " s");
    return status;
}

// Restarts 10 s after a failure, the count forgotten after 5 minutes; an
// exit code other than 0 is a failure as a crash is.
void SetRecovery(SC_HANDLE service, const std::string& name, const std::string& description) {
    std::string text = description;
    SERVICE_DESCRIPTIONA about{text.data()};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &about);
    std::vector<SC_ACTION> actions(3, SC_ACTION{SC_ACTION_RESTART, 10000});
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 300;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        Fail("cannot set the restart after a failure of " + name, name);
    SERVICE_FAILURE_ACTIONS_FLAG on_exit_code{TRUE};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code);
}

}  // namespace

void RequireServiceManager() {}

void InstallLineService(const std::string& name, const std::string& description, const std::string& command_line) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE);
    ServiceHandle service(CreateServiceA(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) Fail("cannot install the service " + name, name);
    try {
        SetRecovery(service.get(), name, description);
    } catch (...) {
        DeleteService(service.get());
        throw;
    }
}

void RemoveLineService(const std::string& name) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    ServiceHandle service = Open(manager.get(), name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status = Query(service.get(), name);
    if (status.dwCurrentState != SERVICE_STOPPED) StopLineService(name, 60);
    if (!DeleteService(service.get())) Fail("cannot remove the service " + name, name);
}

ServiceState StartLineService(const std::string& name, int wait_s) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    ServiceHandle service = Open(manager.get(), name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!StartServiceA(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        Fail("cannot start the service " + name, name);
    // The manager may still say stopped for a moment after the start.
    SERVICE_STATUS_PROCESS status = Query(service.get(), name);
    for (int i = 0; i < 10 && status.dwCurrentState == SERVICE_STOPPED && status.dwProcessId == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = Query(service.get(), name);
    }
    return StateOf(WaitSettled(service.get(), name, SERVICE_START_PENDING, wait_s));
}

ServiceState StopLineService(const std::string& name, int wait_s) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    ServiceHandle service = Open(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status = Query(service.get(), name);
    if (status.dwCurrentState == SERVICE_STOPPED) return StateOf(status);
    SERVICE_STATUS unused{};
    if (status.dwCurrentState != SERVICE_STOP_PENDING && !ControlService(service.get(), SERVICE_CONTROL_STOP, &unused) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        Fail("cannot stop the service " + name, name);
    return StateOf(WaitSettled(service.get(), name, SERVICE_STOP_PENDING, wait_s));
}

void ReloadLineService(const std::string& name) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    ServiceHandle service = Open(manager.get(), name, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS);
    SERVICE_STATUS unused{};
    if (!ControlService(service.get(), SERVICE_CONTROL_PARAMCHANGE, &unused))
        Fail("cannot ask the service " + name + " to read its file again", name);
}

std::string LineServiceCommand(const std::string& name) {
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    ServiceHandle service = Open(manager.get(), name, SERVICE_QUERY_CONFIG);
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service.get(), config, needed, &needed)) Fail("cannot read the service " + name, name);
    return config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : "";
}
