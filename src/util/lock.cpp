#include "util/lock.h"

namespace quorvane {
namespace {

bool run_directly(WaitFn wait, void* ctx) {
  wait(ctx, false);
  return false;
}

std::atomic<WaitHook> WAIT_HOOK{&run_directly};

}  // namespace

void set_wait_hook(WaitHook hook) noexcept {
  WAIT_HOOK.store(hook != nullptr ? hook : &run_directly, std::memory_order_release);
}

bool run_blocking_wait(WaitFn wait, void* ctx) {
  return WAIT_HOOK.load(std::memory_order_acquire)(wait, ctx);
}

}  // namespace quorvane
