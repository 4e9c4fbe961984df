#pragma once

// Walking a thread's stack from inside a signal handler. backtrace() is not
// safe there (it may load the unwinder and allocate, and waits on the
// loader's lock that the interrupted code may hold); this walk reads the
// binaries' unwind tables with an unwinder that allocates nothing once it
// was warmed up outside any handler.
//
// Thread contract: warmUpStackWalk on any thread, before the handlers that
// walk are installed; walkStack in a signal handler or anywhere else.

namespace quimbel::diagnostics {

// Loads and exercises the unwinder once, outside any signal handler.
void warmUpStackWalk();

// The return addresses of the interrupted code, innermost first: the
// interrupted instruction itself, then each caller's return address. The
// context is the handler's third argument (SA_SIGINFO); null walks the
// caller's own stack. Returns how many frames were stored (at most max).
int walkStack(void* signalContext, void** frames, int max) noexcept;

}  // namespace quimbel::diagnostics
