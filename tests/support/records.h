// Small builders for the host records the tests pass to QdxMain.
#ifndef QDXTLMV_TESTS_SUPPORT_RECORDS_H
#define QDXTLMV_TESTS_SUPPORT_RECORDS_H

#include <algorithm>
#include <cstring>
#include <string>

#include "host/handlers.h"
#include "host/records.h"

namespace qdxtest {

inline RequestBlock Request(uint32_t code, PortRecord* port = nullptr, void* parameter = nullptr,
                            int32_t instance = 1) {
    RequestBlock request{};
    request.port = port;
    request.request_code = code;
    request.instance = instance;
    request.parameter = parameter;
    return request;
}

inline int32_t Call(uint32_t code, PortRecord* port = nullptr, void* parameter = nullptr, int32_t instance = 1) {
    RequestBlock request = Request(code, port, parameter, instance);
    return QdxMain(&request);
}

inline StartParams Start(const std::string& name, int32_t timeout_units, uint16_t baud = 9600,
                         uint16_t data_bits = 7, uint16_t stop_bits = 2, uint16_t parity = 1) {
    StartParams params{};
    std::memcpy(params.port_name, name.c_str(), std::min(name.size(), sizeof params.port_name - 1));
    params.enable = 1;
    params.reply_timeout = timeout_units;
    params.line = {baud, data_bits, stop_bits, parity};
    return params;
}

// Parses text into a point record; returns the parse result.
inline int32_t Parse(const std::string& text, PointRecord* point) {
    std::string host_text = text;
    PointAddressBlock block{};
    block.address_text = host_text.data();
    block.point = *point;
    const int32_t result = Call(kRequestParse, nullptr, &block);
    *point = block.point;
    return result;
}

}  // namespace qdxtest

#endif
