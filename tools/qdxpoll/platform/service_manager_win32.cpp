// Windows' service control manager: a line run as a service. The manager's
// thread runs the service's main, which runs the program in it; the control
// handler turns a stop into what Ctrl-C does and a parameter change into a
// reload. What systemd hears as READY and STOPPING the manager hears as
// running and stop pending; it has no watchdog and no status text.
#include "platform/service_manager.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>

#include "base/console.h"
#include "platform/platform.h"

namespace {

struct ServiceRun {
    std::string name;
    std::string log_file;
    std::string folder;
    const std::function<int()>* body = nullptr;
    int exit_code = 0;
};

ServiceRun g_run;
std::mutex g_status_mutex;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{};
DWORD g_check_point = 0;
volatile LONG g_reload = 0;

constexpr DWORD kStartWaitMs = 60000;  // the port and the outputs, on a slow machine
constexpr DWORD kStopWaitMs = 30000;   // a request in flight, the outputs' last writes
constexpr long long kLogKeptBytes = 8LL << 20;

void Report(DWORD state, DWORD exit_code = 0) {
    std::lock_guard<std::mutex> lock(g_status_mutex);
    if (g_handle == nullptr) return;
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE : 0;
    // A code of the program's own is the service's specific one.
    g_status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = exit_code;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    g_status.dwCheckPoint = pending ? ++g_check_point : 0;
    g_status.dwWaitHint = state == SERVICE_START_PENDING ? kStartWaitMs : state == SERVICE_STOP_PENDING ? kStopWaitMs : 0;
    SetServiceStatus(g_handle, &g_status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING);
            RequestInterrupt();
            return NO_ERROR;
        case SERVICE_CONTROL_PARAMCHANGE:
            InterlockedExchange(&g_reload, 1);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The program's lines to the log (a service has no standard error; the C
// library may not reopen one it never had), the log put aside first when
// it has grown past what is kept.
bool OpenLog(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
        ((static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) > kLogKeptBytes)
        MoveFileExA(path.c_str(), (path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    std::FILE* log = std::fopen(path.c_str(), "a");
    if (log == nullptr) return false;
    WriteLinesTo(log);
    // What the command line's checks say, through the standard streams.
    static std::filebuf stream;
    if (stream.open(path, std::ios::app)) {
        std::cerr.rdbuf(&stream);
        std::cout.rdbuf(&stream);
    }
    return true;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_handle = RegisterServiceCtrlHandlerExA(g_run.name.c_str(), OnControl, nullptr);
    if (g_handle == nullptr) {
        g_run.exit_code = 70;
        return;
    }
    Report(SERVICE_START_PENDING);
    if (!OpenLog(g_run.log_file)) {
        g_run.exit_code = 73;
        Report(SERVICE_STOPPED, g_run.exit_code);
        return;
    }
    ErrorLine("service " + g_run.name + ": started by the service control manager");
    if (!g_run.folder.empty() && !SetCurrentDirectoryA(g_run.folder.c_str()))
        ErrorLine("service " + g_run.name + ": note: cannot work in " + g_run.folder + " (error " +
                  std::to_string(GetLastError()) + ")");
    g_run.exit_code = (*g_run.body)();
    ErrorLine("service " + g_run.name + ": ended, exit code " + std::to_string(g_run.exit_code));
    std::fflush(stdout);
    Report(SERVICE_STOPPED, g_run.exit_code);
}

}  // namespace

int RunUnderServiceManager(const std::string& name, const std::string& log_file, const std::string& folder,
                           const std::function<int()>& body) {
    if (name.empty() || log_file.empty()) {
        std::fputs("qdxpoll: --service needs the service's name and --service-log its log file; "
                   "'qdxpoll service install --config FILE' registers both\n",
                   stderr);
        return 64;
    }
    g_run.name = name;
    g_run.log_file = log_file;
    g_run.folder = folder;
    g_run.body = &body;
    std::string table_name = name;
    SERVICE_TABLE_ENTRYA table[] = {{table_name.data(), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            std::fputs("qdxpoll: --service is for the service control manager, which did not start this process; "
                       "'qdxpoll run --config FILE' runs the line here, 'qdxpoll service start --config FILE' as "
                       "its service\n",
                       stderr);
            return 64;
        }
        std::fprintf(stderr, "qdxpoll: the service control manager's dispatcher failed (error %lu)\n", error);
        return 70;
    }
    return g_run.exit_code;
}

// The notifier speaks to the manager only within a service's run.
ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
void ServiceNotifier::Send(const std::string&) {}
void ServiceNotifier::Ready(const std::string&) { Report(SERVICE_RUNNING); }
void ServiceNotifier::Status(const std::string&) {}
void ServiceNotifier::Reloading(const std::string&) {}
void ServiceNotifier::Stopping(const std::string&) { Report(SERVICE_STOP_PENDING); }
void ServiceNotifier::Alive() {}

void InstallReloadSignal() {}
bool TakeReloadRequest() { return InterlockedExchange(&g_reload, 0) != 0; }

std::string RunControls(const std::string& config_file) {
    if (g_handle != nullptr)
        return "'qdxpoll service stop' ends; 'qdxpoll service reload' reads " + config_file + " again";
    return "Ctrl-C ends; as a service, 'qdxpoll service reload' reads " + config_file + " again";
}
