#include "tests/support/log_capture.h"

#include "telvor/telvor.h"

namespace qdxtest {

LogCapture::LogCapture() { TelvorSetSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { TelvorSetSink(nullptr, nullptr); }

void LogCapture::Sink(void* context, int level, const char* line) {
    auto* self = static_cast<LogCapture*>(context);
    self->lines_.emplace_back(line);
    self->levels_.push_back(level);
}

}  // namespace qdxtest
