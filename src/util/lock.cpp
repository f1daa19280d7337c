#include "util/lock.h"

namespace quorvane {
namespace {

void run_directly(void (*wait)(void*), void* ctx) {
  wait(ctx);
}

std::atomic<WaitHook> WAIT_HOOK{&run_directly};

}  // namespace

void set_wait_hook(WaitHook hook) noexcept {
  WAIT_HOOK.store(hook != nullptr ? hook : &run_directly, std::memory_order_release);
}

void run_blocking_wait(void (*wait)(void*), void* ctx) {
  WAIT_HOOK.load(std::memory_order_acquire)(wait, ctx);
}

}  // namespace quorvane
