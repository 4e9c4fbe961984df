#include "diagnostics/stack_walk.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>

namespace quimbel::diagnostics {

void warmUpStackWalk() {
  void* frames[8];
  walkStack(nullptr, frames, 8);
}

int walkStack(void* signalContext, void** frames, int max) noexcept {
  unw_cursor_t cursor;
  unw_context_t own;
  int status = 0;
  if (signalContext != nullptr) {
    // On Linux the unwinder's context is the kernel's ucontext_t; starting
    // from it as a signal frame takes the interrupted instruction as it is
    // (not as a return address) and skips the handler's own frames.
    status =
        unw_init_local2(&cursor, static_cast<unw_context_t*>(signalContext), UNW_INIT_SIGNAL_FRAME);
  } else {
    unw_getcontext(&own);
    status = unw_init_local(&cursor, &own);
  }
  if (status < 0) return 0;
  int count = 0;
  do {
    unw_word_t ip = 0;
    if (unw_get_reg(&cursor, UNW_REG_IP, &ip) < 0 || ip == 0) break;
    frames[count++] = reinterpret_cast<void*>(ip);
  } while (count < max && unw_step(&cursor) > 0);
  return count;
}

}  // namespace quimbel::diagnostics
