#include "os/cancel.h"

#include <atomic>

namespace quorel {
namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<bool> gCancelRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "raised from a signal handler");

}  // namespace

void RequestCancel() { gCancelRequested.store(true); }

bool CancelRequested() { return gCancelRequested.load(); }

void ResetCancel() { gCancelRequested.store(false); }

}  // namespace quorel
