#include "port/rts_direction.h"

#include <atomic>

namespace {
std::atomic<bool> g_asked{false};
}  // namespace

void AskRtsDirection(bool on) { g_asked.store(on); }
bool RtsDirectionAsked() { return g_asked.load(); }
