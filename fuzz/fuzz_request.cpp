// Sequences of requests with any request code on one port record, over the
// fake line.
//
// Every record sits at the end of its own heap block, behind a guard of
// pattern bytes, so that ASan sees any access past a record and the guard
// shows any write before it. A record that the request in hand does not use
// (the port record for codes 3, 4, 10, 14 and codes without a handler; the
// parameter for all but 1, 3, 5, 6, 7, 14 and 15) is poisoned for the call,
// so even a read of it is caught, and compared afterwards. Start and reopen
// parameters may carry a port name without its NUL: the request must fail
// with 2 without opening anything.
//
// Also checked: results (1 only from the parse request; 0 from 2, 4, 14; 2
// from 10 and codes without a handler), the log lines each request may give,
// the record fields a start leaves, the driver info record, and that the
// port record holds an open handle of the line or 0, with no handle left open
// beside it while every close succeeds.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fake_line.h"
#include "fuzz_support.h"
#include "host/handlers.h"

namespace {

enum { kGuard = 16, kMaxSteps = 16 };
const uint8_t kPattern = 0xE7;

// A record of type T at the very end of a heap block, after kGuard pattern
// bytes.
template <typename T>
struct Guarded {
    uint8_t* block;
    T* record;

    Guarded() : block(new uint8_t[kGuard + sizeof(T)]), record(reinterpret_cast<T*>(block + kGuard)) {
        memset(block, kPattern, kGuard + sizeof(T));
    }
    ~Guarded() { delete[] block; }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    bool GuardIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (block[i] != kPattern) return false;
        }
        return true;
    }
    std::vector<uint8_t> Snapshot() const {
        const uint8_t* first = reinterpret_cast<const uint8_t*>(record);
        return std::vector<uint8_t>(first, first + sizeof(T));
    }
    bool Equals(const std::vector<uint8_t>& snapshot) const {
        return memcmp(record, snapshot.data(), sizeof(T)) == 0;
    }
    void Poison() { ASAN_POISON_MEMORY_REGION(record, sizeof(T)); }
    void Unpoison() { ASAN_UNPOISON_MEMORY_REGION(record, sizeof(T)); }
};

bool UsesPort(uint32_t code) {
    switch (code) {
        case 1: case 2: case 5: case 6: case 7: case 11: case 12: case 13: case 15:
            return true;
        default:
            return false;
    }
}

bool UsesParameter(uint32_t code) {
    switch (code) {
        case 1: case 3: case 5: case 6: case 7: case 14: case 15:
            return true;
        default:
            return false;
    }
}

bool HasHandler(uint32_t code) { return code <= 15 && code != 0 && code != 8 && code != 9; }

// A port name field: one of a few names (so that reopen sees the same and
// other names), or raw bytes that may lack their NUL.
void FillName(FuzzedDataProvider& in, char name[kPortNameField]) {
    static const char* const kNames[] = {"COM1", "COM2", "com1", "/dev/ttyS0", "COM10", "X2345678901"};
    const uint8_t choice = in.ConsumeIntegral<uint8_t>();
    if (choice < 200) {
        memset(name, 0, kPortNameField);
        strcpy(name, kNames[choice % (sizeof kNames / sizeof kNames[0])]);
    } else {
        const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(kPortNameField);
        memset(name, 'N', kPortNameField);
        if (!raw.empty()) memcpy(name, raw.data(), raw.size());
    }
}

void FillLine(FuzzedDataProvider& in, LineValues* line) {
    line->baud_rate = in.ConsumeIntegral<uint16_t>();
    line->data_bits = in.ConsumeIntegral<uint16_t>();
    line->stop_bits = in.ConsumeIntegral<uint16_t>();
    line->parity = in.ConsumeIntegral<uint16_t>();
}

bool NameFits(const char name[kPortNameField]) { return memchr(name, 0, kPortNameField) != nullptr; }

void CheckDriverInfo(const DriverInfo& info) {
    FUZZ_CHECK(info.fixed70 == 70 && info.fixed60 == 60 && info.fixed4 == 4 && info.fixed0 == 0);
    FUZZ_CHECK(strcmp(info.driver_name, "RKC REX-F Series") == 0);
    FUZZ_CHECK(strlen(info.banner) == 379);
    FUZZ_CHECK(info.default_line.baud_rate == 9600 && info.default_line.data_bits == 7 &&
               info.default_line.stop_bits == 2 && info.default_line.parity == 1);
}

bool IsReadLine(const std::string& line) {
    return line == "QDXTLMV> Read reply missing STX" || line == "QDXTLMV> Read reply incorrect identifier" ||
           line == "QDXTLMV> Read reply missing ETX" ||
           line.rfind("QDXTLMV> Read reply incorrect BCC - (", 0) == 0;
}

struct StepOutcome {
    uint32_t code;
    int32_t result;
};

void RunStep(FuzzedDataProvider& in, Guarded<PortRecord>& port) {
    uint32_t code = in.ConsumeIntegral<uint8_t>();
    code = code < 0xE0 ? code % 17 : in.ConsumeIntegral<uint32_t>();

    RequestBlock request;
    memset(&request, 0, sizeof request);
    request.port = port.record;
    request.request_code = code;
    request.instance = in.ConsumeIntegral<int32_t>();
    request.reserved = in.ConsumeIntegral<uint32_t>();

    // Parameter records; only the one the code asks for is filled.
    Guarded<StartParams> start;
    Guarded<ReopenParams> reopen;
    Guarded<PointAddressBlock> address;
    Guarded<PointRecord> point;
    Guarded<DriverInfo> info;
    Guarded<uint8_t[64]> unused;
    ValueCell* cell = new ValueCell;
    std::string text;
    char* text_copy = nullptr;

    switch (code) {
        case 1:
            FillName(in, start.record->port_name);
            start.record->enable = in.ConsumeIntegral<uint8_t>() < 64 ? 0 : in.ConsumeIntegral<uint32_t>() | 1;
            start.record->reply_timeout = in.ConsumeIntegral<int32_t>();
            FillLine(in, &start.record->line);
            request.parameter = start.record;
            break;
        case 15:
            FillName(in, reopen.record->port_name);
            reopen.record->reply_timeout = in.ConsumeBool() ? 0 : in.ConsumeIntegral<int32_t>();
            FillLine(in, &reopen.record->line);
            if (in.ConsumeBool()) reopen.record->line.baud_rate = 0;
            request.parameter = reopen.record;
            break;
        case 3:
            text = in.ConsumeRandomLengthString(10);
            text_copy = new char[text.size() + 1];
            memcpy(text_copy, text.c_str(), text.size() + 1);
            address.record->address_text = text_copy;
            address.record->point.value = cell;
            request.parameter = address.record;
            break;
        case 5:
        case 6:
        case 7:
            point.record->unit_address = in.ConsumeIntegralInRange<int32_t>(0, 99);
            point.record->channel = in.ConsumeIntegralInRange<int32_t>(0, 8);
            point.record->identifier = in.ConsumeIntegral<uint16_t>();
            point.record->bit_number = in.ConsumeBool() ? 255 : in.ConsumeIntegral<int32_t>();
            point.record->width = in.ConsumeBool() ? 16 : in.ConsumeBool() ? 32 : in.ConsumeIntegral<int32_t>();
            point.record->data_type = in.ConsumeIntegralInRange<int32_t>(-1, 7);
            point.record->value = cell;
            {
                const uint32_t content = in.ConsumeIntegral<uint32_t>();
                memcpy(cell->bytes, &content, 4);
            }
            request.parameter = point.record;
            break;
        case 14:
            request.parameter = info.record;
            break;
        default:
            request.parameter = unused.record;
            break;
    }

    const std::vector<uint8_t> port_before = port.Snapshot();
    std::vector<uint8_t> parameter_before;
    if (!UsesParameter(code)) parameter_before = unused.Snapshot();
    const RequestBlock request_before = request;
    const int open_calls_before = fake_line::OpenCalls();

    if (!UsesPort(code)) port.Poison();
    if (!UsesParameter(code)) unused.Poison();
    LoggedLines().clear();
    const int32_t result = QdxMain(&request);
    port.Unpoison();
    unused.Unpoison();
    if (getenv("QDX_FUZZ_TRACE") != nullptr) {
        fprintf(stderr, "request %u -> %d, handle %u\n", code, result, port.record->port_handle);
        for (const std::string& line : LoggedLines()) fprintf(stderr, "  %s\n", line.c_str());
    }

    FUZZ_CHECK(memcmp(&request, &request_before, sizeof request) == 0);
    FUZZ_CHECK(port.GuardIntact() && start.GuardIntact() && reopen.GuardIntact() && address.GuardIntact() &&
               point.GuardIntact() && info.GuardIntact() && unused.GuardIntact());
    FUZZ_CHECK(result == 0 || result == 2 || (result == 1 && code == 3));
    if (!UsesPort(code)) FUZZ_CHECK(port.Equals(port_before));
    if (!UsesParameter(code)) FUZZ_CHECK(unused.Equals(parameter_before));
    if (!HasHandler(code) || code == 10) FUZZ_CHECK(result == 2);
    if (code == 2 || code == 4 || code == 14) FUZZ_CHECK(result == 0);
    if (code == 14) CheckDriverInfo(*info.record);

    // Log lines: only a start and a read log anything.
    const std::vector<std::string>& lines = LoggedLines();
    if (code == 5 || code == 6) {
        FUZZ_CHECK(lines.size() <= 3);
        for (const std::string& line : lines) FUZZ_CHECK(IsReadLine(line));
    } else if (code != 1) {
        FUZZ_CHECK(lines.empty());
    }

    PortRecord& now = *port.record;
    if (code == 1) {
        const StartParams& params = *start.record;
        FUZZ_CHECK(now.active == params.enable);
        if (params.enable == 0) {
            FUZZ_CHECK(result == 0 && lines.empty() && fake_line::OpenCalls() == open_calls_before);
            PortRecord expected;
            memcpy(&expected, port_before.data(), sizeof expected);
            expected.active = 0;
            FUZZ_CHECK(memcmp(&expected, &now, sizeof now) == 0);
        } else if (!NameFits(params.port_name)) {
            FUZZ_CHECK(result == 2 && fake_line::OpenCalls() == open_calls_before);
        }
        if (params.enable != 0) {
            FUZZ_CHECK(lines.size() == 1);
            char expected_line[128];
            if (result == 0) {
                snprintf(expected_line, sizeof expected_line, "QDXTLMV> QDX%d v7.00 started on %s",
                         request.instance, params.port_name);
                FUZZ_CHECK(lines[0] == expected_line);
                FUZZ_CHECK(strcmp(now.settings.port_name, params.port_name) == 0);
                FUZZ_CHECK(memcmp(&now.settings.line, &params.line, sizeof params.line) == 0);
                FUZZ_CHECK(now.settings.control_lines == 0x0303);
                FUZZ_CHECK(now.reply_timeout == params.reply_timeout);
                FUZZ_CHECK(now.port_handle != 0);
            } else {
                snprintf(expected_line, sizeof expected_line, "QDXRKC REX-F Series : Fail to open %.*s",
                         kPortNameField, params.port_name);
                FUZZ_CHECK(lines[0] == expected_line);
            }
        }
    }
    if (code == 15 && !NameFits(reopen.record->port_name)) {
        FUZZ_CHECK(result == 2 && fake_line::OpenCalls() == open_calls_before);
    }
    if ((code == 11 || code == 12) && result == 0) FUZZ_CHECK(now.port_handle == 0);
    if ((code == 13 || code == 15) && result == 0) FUZZ_CHECK(now.port_handle != 0 && now.active == 1);

    // The port record holds an open handle of the line, or none.
    FUZZ_CHECK(now.port_handle == 0 || fake_line::IsOpen(now.port_handle));
    // A port opened by start or reopen has a name that ends within its field
    // (a start with enable 0 writes no name).
    if (((code == 1 && start.record->enable != 0) || code == 15) && result == 0) {
        FUZZ_CHECK(memchr(now.settings.port_name, 0, kPortNameField) != nullptr);
    }

    delete[] text_copy;
    delete cell;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fake_line::Reset();
    const uint32_t close_failures = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : 0;
    fake_line::SetOpenFailures(in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : 0);
    fake_line::SetCloseFailures(close_failures);
    const std::vector<uint8_t> script = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 160));
    fake_line::SetScript(script.data(), script.size());
    CaptureLogLines();

    Guarded<PortRecord> port;
    memset(port.record, 0, sizeof(PortRecord));
    port.record->reply_timeout = in.ConsumeIntegral<int32_t>();
    port.record->active = in.ConsumeIntegral<uint32_t>();
    // The port record as the host hands it over: its name may be anything
    // until a start or reopen writes it.
    FillName(in, port.record->settings.port_name);
    FillLine(in, &port.record->settings.line);
    port.record->settings.control_lines = in.ConsumeIntegral<uint16_t>();

    for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
        RunStep(in, port);
        // With every close succeeding, no handle is ever left open beside
        // the one the port record holds.
        if (close_failures == 0) {
            FUZZ_CHECK(fake_line::OpenHandleCount() == (port.record->port_handle != 0 ? 1u : 0u));
        }
    }
    return 0;
}
