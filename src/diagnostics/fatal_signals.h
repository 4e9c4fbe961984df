#pragma once

// The program's own crash diagnostics, which the desktop does not provide: a
// handler for the fatal signals that writes a payload of the crashing
// thread's stack into "Pending" before the process dies as it would have
// anyway. The crash reporter reads it at the next check; hangs are the
// watchdog's (hang_watchdog.h).
//
// Thread contract: install on the main thread. The handler runs on the
// crashing thread, on that thread's alternate signal stack when it has one
// (the main thread gets one at install, other threads through
// prepareThreadForCrashes), and makes only async-signal-safe calls into
// memory prepared at install: the frames come from backtrace(), which is
// called once at install so that its first use (which loads the unwinder and
// may allocate) never happens inside the handler. A thread without its own
// alternate stack still records crashes, except a stack overflow. The
// real-time audio thread is such a thread: it may make no system call, so it
// never asks for one.

#include <filesystem>

#include "diagnostics/app_info.h"

namespace quimbel {

// False in sanitizer builds: their runtimes own the fatal signals and print
// their own reports, which a handler of ours would swallow.
bool fatalSignalHandlersAvailable();

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and
// SIGTRAP, recording into the standard diagnostics folder's "Pending". Does
// nothing in a test run or without a folder. Call first thing in main.
void installFatalSignalHandlers();

// The same, recording into `pendingFolder` with `info`; false when the
// handlers are switched off in this build. Once per process.
bool installFatalSignalHandlers(const std::filesystem::path& pendingFolder, const AppInfo& info);

// Gives the calling thread an alternate signal stack of its own, released
// when the thread ends. Allocates: call it where a thread begins, never on
// the real-time audio thread.
void prepareThreadForCrashes();

}  // namespace quimbel
