#include "config/line_settings.h"

#include "base/exit_codes.h"
#include "rexf/line_timing.h"

rexf::LineFormat FormatOf(const LineValues& line) {
    return rexf::LineFormat{line.baud_rate, line.data_bits, line.parity, line.stop_bits};
}

LineValues ValuesOf(const rexf::LineFormat& format) {
    LineValues line{};
    line.baud_rate = static_cast<uint16_t>(format.baud <= 65535 ? format.baud : 0);
    line.data_bits = static_cast<uint16_t>(format.data_bits);
    line.stop_bits = static_cast<uint16_t>(format.stop_bits);
    line.parity = static_cast<uint16_t>(format.parity);
    return line;
}

std::string LineText(const LineValues& line) { return rexf::LineText(FormatOf(line)); }

std::string DescribeLine(const LineValues& line) { return rexf::DescribeLine(FormatOf(line)); }

LineValues ResolveLine(const Options& o, const LineValues& defaults) {
    LineValues line = defaults;
    if (!o.line.empty()) {
        if (o.baud || o.data_bits || !o.stop_bits.empty() || !o.parity.empty())
            throw ToolError(kExitUsage, "give the line either as --line or as --baud, --data-bits, --parity and "
                                        "--stop-bits, not both");
        rexf::LineFormat format;
        if (!rexf::ParseLineText(o.line, &format) || format.baud > 65535)
            throw ToolError(kExitUsage, "--line takes BAUD,DPS: baud rate, data bits 5-8, parity N O E M or S "
                                        "and stop bits 1, 1.5 or 2, e.g. 9600,7O2 or 19200,8N1");
        return ValuesOf(format);
    }
    if (o.baud) line.baud_rate = static_cast<uint16_t>(*o.baud);
    if (o.data_bits) line.data_bits = static_cast<uint16_t>(*o.data_bits);
    int code = 0;
    if (rexf::StopBitsFromName(o.stop_bits, &code)) line.stop_bits = static_cast<uint16_t>(code);
    if (rexf::ParityFromName(o.parity, &code)) line.parity = static_cast<uint16_t>(code);
    return line;
}

int32_t TimeoutUnits(int timeout_ms) { return static_cast<int32_t>((timeout_ms + 9) / 10); }

int SafeTimeoutMs(const LineValues& line, int interval_ms) {
    return rexf::SafeReplyTimeoutMs(interval_ms, FormatOf(line));
}
