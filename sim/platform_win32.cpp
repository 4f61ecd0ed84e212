// rexfsim on Windows: the line is a TCP port on 127.0.0.1 (there are no
// pseudo-terminals), Ctrl-C comes from the console, and stdin is read by a
// thread of its own, since a pipe or a console cannot be waited on beside
// a socket; the wait looks at it in short steps.
#include "platform.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "options.h"
#include "simulator.h"
#include "tcp_line.h"

namespace rexfsim {
namespace {

// How long a wait lasts at most: commands and Ctrl-C are seen this late.
constexpr long kStepMs = 20;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        g_stop = true;
        return TRUE;
    }
    return FALSE;
}

uint64_t CreationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

// The process that started this one, while it runs; null when it cannot be
// told (none, gone, or its number already another's).
HANDLE OpenParent() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD parent_id = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == GetCurrentProcessId()) parent_id = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    const HANDLE parent = parent_id != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id)
                                         : nullptr;
    if (parent != nullptr && CreationTime(parent) > CreationTime(GetCurrentProcess())) {
        CloseHandle(parent);
        return nullptr;
    }
    return parent;
}

// Ends this process's run when its parent ends, as on Linux: a simulator
// left behind would hold its port for nobody. (A job that kills its
// processes on close does it too, but not everywhere: Wine leaves them.)
void EndWithParent() {
    const HANDLE parent = OpenParent();
    if (parent == nullptr) return;
    std::thread([parent] {
        WaitForSingleObject(parent, INFINITE);
        g_stop = true;
    }).detach();
}

}  // namespace

bool PrepareProcess() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) Fail("Winsock does not start");
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    EndWithParent();
    // Answers leave on time only with the system's timer at 1 ms, not its
    // usual 15.6.
    timeBeginPeriod(1);
    return true;
}

void CloseSocket(SocketHandle socket) { closesocket(socket); }

bool SetNonBlocking(SocketHandle socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

bool SocketWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

std::string SocketError() { return "Winsock error " + std::to_string(WSAGetLastError()); }

std::unique_ptr<Line> OpenLine(const Options& options) {
    if (!options.device.empty() || !options.link.empty() || options.line_check)
        Fail("--device, --link and --line-check need Linux; here the line is a TCP port (--tcp PORT)");
    auto line = std::make_unique<TcpLine>();
    std::string error;
    if (!line->Listen(std::max(options.tcp_port, 0), &error)) Fail(error);
    return line;
}

// What the reading thread hands over; shared with the thread, which may
// outlive the waiter (it stays in a read until the process ends).
struct StdinText {
    std::mutex mutex;
    std::string text;
};

struct Waiter::State {
    std::shared_ptr<StdinText> input = std::make_shared<StdinText>();
};

Waiter::Waiter() : state_(std::make_unique<State>()) {
    std::thread([input = state_->input] {
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        char buf[4096];
        DWORD n = 0;
        while (in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> lock(input->mutex);
            input->text.append(buf, n);
        }
    }).detach();
}

Waiter::~Waiter() = default;

void Waiter::Wait(std::vector<PollItem>* items, long timeout_us, std::string* commands) {
    const long ms = timeout_us < 0 ? kStepMs : std::min(kStepMs, (timeout_us + 999) / 1000);
    if (WSAPoll(items->data(), static_cast<ULONG>(items->size()), static_cast<INT>(ms)) == SOCKET_ERROR)
        Fail("poll failed: " + SocketError());
    std::lock_guard<std::mutex> lock(state_->input->mutex);
    commands->append(state_->input->text);
    state_->input->text.clear();
}

}  // namespace rexfsim
