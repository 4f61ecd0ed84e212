// Starting and stopping rexfsim on Windows: its line on a TCP port of
// 127.0.0.1, its first line read through a pipe within a bounded wait, and
// the process in a job that ends it when qdxpoll ends, even when qdxpoll is
// killed.
#include "platform/simulator.h"

#include <windows.h>

#include <chrono>
#include <utility>

namespace {

constexpr const char kListening[] = "rexfsim: listening on ";
// Longer than on Linux: a new program may be held a while by a scan for
// viruses before it runs.
constexpr int kAnnounceTimeoutMs = 10000;
constexpr DWORD kStopGraceMs = 2000;

// One argument as the C runtime's parser takes it back: quoted when it holds
// a space or a quote, backslashes doubled only before a quote.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string SystemError(const char* what) {
    return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

void CloseIfOpen(void** handle) {
    if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(*handle));
    *handle = nullptr;
}

// The child's standard handles, all inheritable, and this side's ends of
// its stdin and stdout, which are not. Whatever is still held is closed.
struct ChildHandles {
    void* in_read = nullptr;
    void* in_write = nullptr;
    void* out_read = nullptr;
    void* out_write = nullptr;
    void* err = nullptr;

    ~ChildHandles() {
        for (void** h : {&in_read, &in_write, &out_read, &out_write, &err}) CloseIfOpen(h);
    }

    bool Make(bool show_output, std::string* error) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE handles[4] = {};
        if (!CreatePipe(&handles[0], &handles[1], &inherit, 0) || !CreatePipe(&handles[2], &handles[3], &inherit, 0)) {
            *error = SystemError("CreatePipe");
            for (HANDLE h : handles)
                if (h != nullptr) CloseHandle(h);
            return false;
        }
        in_read = handles[0], in_write = handles[1], out_read = handles[2], out_write = handles[3];
        SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        // Standard error: a copy of this process's own, or the null device.
        const HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
        HANDLE copy = nullptr;
        if (show_output && own != nullptr && own != INVALID_HANDLE_VALUE &&
            DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
            err = copy;
        else
            err = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                              nullptr);
        if (err == INVALID_HANDLE_VALUE) {
            *error = SystemError("opening NUL");
            return false;
        }
        return true;
    }
};

// A job whose processes end when its last handle closes.
HANDLE MakeJob() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// Starts the command suspended, with exactly the three handles inherited
// (nothing else this process holds goes along), in its own process group:
// a Ctrl-C at the console reaches qdxpoll only, which then stops the
// simulator itself after closing its port.
bool CreateChild(std::string command, const ChildHandles& handles, PROCESS_INFORMATION* info, std::string* error) {
    HANDLE inherited[3] = {handles.in_read, handles.out_write, handles.err};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string storage(size, '\0');
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&storage[0]);
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        *error = SystemError("InitializeProcThreadAttributeList");
        return false;
    }
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles.in_read;
    startup.StartupInfo.hStdOutput = handles.out_write;
    startup.StartupInfo.hStdError = handles.err;
    startup.lpAttributeList = attributes;
    bool ok = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                        sizeof inherited, nullptr, nullptr) != 0;
    if (!ok) *error = SystemError("UpdateProcThreadAttribute");
    ok = ok && CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE,
                              CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                              nullptr, &startup.StartupInfo, info) != 0;
    if (!ok && error->empty()) *error = SystemError("CreateProcess");
    DeleteProcThreadAttributeList(attributes);
    return ok;
}

// The first line from the pipe, waiting no longer than the announcement's
// time, nor once the process has ended; "" when none came.
std::string FirstLine(HANDLE from_child, HANDLE process) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnnounceTimeoutMs);
    std::string got;
    while (std::chrono::steady_clock::now() < deadline) {
        DWORD available = 0;
        if (!PeekNamedPipe(from_child, nullptr, 0, nullptr, &available, nullptr)) break;  // it ended
        if (available == 0) {
            if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0) break;
            continue;
        }
        char c;
        DWORD n = 0;
        for (; available > 0 && ReadFile(from_child, &c, 1, &n, nullptr) && n == 1; --available) {
            if (c == '\n') return got;
            if (c != '\r') got += c;
        }
    }
    return "";
}

}  // namespace

SimulatorProcess::~SimulatorProcess() { Stop(); }

bool SimulatorProcess::Start(const std::string& program, const std::vector<std::string>& args, bool show_output,
                             std::string* port, std::string* error) {
    Stop();
    std::string command = QuoteArgument(program);
    for (const std::string& arg : args) command += " " + QuoteArgument(arg);
    command += " --tcp 0";  // a free port of 127.0.0.1, announced

    ChildHandles handles;
    std::string why;
    PROCESS_INFORMATION info{};
    job_ = MakeJob();
    if (job_ == nullptr) why = SystemError("CreateJobObject");
    const bool started = job_ != nullptr && handles.Make(show_output, &why) && CreateChild(command, handles, &info, &why);
    if (!started) {
        Stop();
        *error = "the simulator " + program + " did not start (" + why + ")";
        return false;
    }
    process_ = info.hProcess;
    to_child_ = std::exchange(handles.in_write, nullptr);
    const bool in_job = AssignProcessToJobObject(static_cast<HANDLE>(job_), info.hProcess) != 0;
    if (!in_job) why = SystemError("AssignProcessToJobObject");
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    // Its ends closed here, so that the pipe shows its end when it ends.
    CloseIfOpen(&handles.out_write);
    const std::string first = in_job ? FirstLine(handles.out_read, info.hProcess) : "";
    if (!in_job || first.compare(0, sizeof kListening - 1, kListening) != 0) {
        Stop();
        *error = "the simulator " + program + " did not start" +
                 (!in_job ? " (" + why + ")" : first.empty() ? "" : ": '" + first + "'");
        return false;
    }
    *port = first.substr(sizeof kListening - 1);
    return true;  // later output is not needed: the pipe closes, the simulator minds no closed stdout
}

void SimulatorProcess::Stop() {
    if (process_ != nullptr) {
        // Asked to quit first, so that it ends as it would by itself; ended
        // by the job when it does not within the grace.
        DWORD written = 0;
        WriteFile(static_cast<HANDLE>(to_child_), "quit\n", 5, &written, nullptr);
        if (WaitForSingleObject(static_cast<HANDLE>(process_), kStopGraceMs) != WAIT_OBJECT_0) {
            TerminateJobObject(static_cast<HANDLE>(job_), 1);
            WaitForSingleObject(static_cast<HANDLE>(process_), kStopGraceMs);
        }
    }
    CloseIfOpen(&to_child_);
    CloseIfOpen(&process_);
    CloseIfOpen(&job_);  // ends whatever is still in it
}
