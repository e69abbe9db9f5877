#include "os/cancel.h"

#include <atomic>

namespace quorel {
namespace {

// Lock-free, so that a signal handler may count a request.
std::atomic<int> gCancelRequests{0};
// The count of requests when the hold began; -1 when no hold is on.
std::atomic<int> gHeldAt{-1};
static_assert(std::atomic<int>::is_always_lock_free, "raised from a signal handler");

}  // namespace

void RequestCancel() { gCancelRequests.fetch_add(1); }

bool CancelRequested() {
  const int held = gHeldAt.load();
  const int requests = gCancelRequests.load();
  return held < 0 ? requests > 0 : requests - held >= 2;
}

bool HoldCancel() {
  const int requests = gCancelRequests.load();
  if (requests > 0) return false;
  gHeldAt.store(requests);
  return true;
}

bool CancelHeld() {
  const int held = gHeldAt.load();
  return held >= 0 && gCancelRequests.load() > held;
}

void ReleaseCancel() { gHeldAt.store(-1); }

void ResetCancel() {
  gHeldAt.store(-1);
  gCancelRequests.store(0);
}

}  // namespace quorel
