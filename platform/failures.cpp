#include "platform/failures.h"

#include <atomic>

namespace vexlo {

namespace {
// Set from any thread that writes outputs, read once at the end.
std::atomic<bool> g_failed{false};
}  // namespace

void note_failure() { g_failed.store(true, std::memory_order_relaxed); }

bool any_failure() { return g_failed.load(std::memory_order_relaxed); }

}  // namespace vexlo
