#include "diagnostics/fatal_signals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "diagnostics/crash_payload.h"
#include "diagnostics/module_table.h"
#include "diagnostics/session_marker.h"
#include "diagnostics/store.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUIMBEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUIMBEL_SANITIZED 1
#endif
#endif

namespace quimbel {
namespace {

using diagnostics::copyInto;
using diagnostics::kMaxFrames;
using diagnostics::kPayloadBytes;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
constexpr std::size_t kAltStackBytes = 128 * 1024;

// Everything the handler writes, prepared outside it.
struct Prepared {
  char tempPath[4096];
  char finalPath[4096];
  char metaData[2048];  // the fixed part of "diagnosticMetaData", without braces
};
Prepared prepared;
char payloadBuffer[kPayloadBytes];
std::atomic<bool> installed{false};
std::atomic_flag recording = ATOMIC_FLAG_INIT;

std::uintptr_t faultingAddress(void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (!uc) return 0;
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
  return 0;
#endif
}

void writeAllSafely(int fd, const char* data, std::size_t size) {
  while (size) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void recordCrash(int signal, void* context) {
  void* frames[kMaxFrames + 1];
  int count = ::backtrace(frames + 1, kMaxFrames);
  void** stack = frames + 1;
  // backtrace() starts inside this handler; the crash itself is the frame at
  // the interrupted program counter. Without it in the list, put it first.
  const std::uintptr_t pc = faultingAddress(context);
  int first = -1;
  for (int i = 0; i < count && pc; ++i) {
    if (reinterpret_cast<std::uintptr_t>(stack[i]) == pc) {
      first = i;
      break;
    }
  }
  if (first >= 0) {
    stack += first;
    count -= first;
  } else if (pc) {
    frames[0] = reinterpret_cast<void*>(pc);
    stack = frames;
    count += 1;
  }

  diagnostics::PayloadOut out{payloadBuffer, payloadBuffer + sizeof payloadBuffer};
  diagnostics::putCrashPayload(out, prepared.metaData, signal, stack, count);
  if (out.at == out.end) return;  // cut short: a partial file would not parse anyway

  const int fd = ::open(prepared.tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  writeAllSafely(fd, payloadBuffer, static_cast<std::size_t>(out.at - payloadBuffer));
  ::close(fd);
  ::rename(prepared.tempPath, prepared.finalPath);
}

void onFatalSignal(int signal, siginfo_t* info, void* context) {
  if (recording.test_and_set()) {
    // Another thread crashed first and is recording; its default action
    // ends the whole process.
    for (;;) ::pause();
  }
  // Should recording itself get stuck (the unwinder waiting on a lock the
  // crashed code held), the alarm still ends the process.
  ::alarm(10);
  recordCrash(signal, context);
  ::alarm(0);

  // Back to the default action, so that the exit status and a core dump are
  // what they would have been without us. A fault from an instruction
  // faults again when the handler returns; a sent signal (abort, kill) and
  // a trap (which resumes after the instruction) are raised again, to be
  // delivered as the handler returns.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  if (info == nullptr || info->si_code <= 0 || signal == SIGTRAP || signal == SIGABRT) {
    ::raise(signal);
  }
}

void setAltStack(void* memory, std::size_t size) {
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = size;
  ::sigaltstack(&stack, nullptr);
}

struct ThreadAltStack {
  void* memory = nullptr;
  ~ThreadAltStack() {
    if (!memory) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    ::munmap(memory, kAltStackBytes);
  }
};

}  // namespace

bool fatalSignalHandlersAvailable() {
#ifdef QUIMBEL_SANITIZED
  return false;
#else
  return true;
#endif
}

bool installFatalSignalHandlers(const std::filesystem::path& pendingFolder, const AppInfo& info) {
  if (!fatalSignalHandlersAvailable() || installed.exchange(true)) return false;

  std::error_code ignored;
  std::filesystem::create_directories(pendingFolder, ignored);
  const std::string name = "metrickit-" + diagnostics::newUuid() + ".json";
  copyInto(prepared.finalPath, (pendingFolder / name).string());
  copyInto(prepared.tempPath, (pendingFolder / ("." + name + ".part")).string());
  copyInto(prepared.metaData, diagnostics::payloadMetaData(info));
  refreshLoadedModules();
  // The first backtrace() loads the unwinder, which may allocate.
  void* warm[4];
  ::backtrace(warm, 4);

  static void* mainAltStack =
      ::mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mainAltStack != MAP_FAILED) setAltStack(mainAltStack, kAltStackBytes);

  struct sigaction action = {};
  action.sa_sigaction = onFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  // A second fatal signal while recording gets the default action at once.
  for (const int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kFatalSignals) ::sigaction(signal, &action, nullptr);
  return true;
}

void installFatalSignalHandlers() {
  const auto environment = [](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  if (isTestRun(environment)) return;
  const DiagnosticsStore store = DiagnosticsStore::standard();
  if (store.folder.empty()) return;
  installFatalSignalHandlers(store.pendingFolder(), AppInfo::current());
}

void prepareThreadForCrashes() {
  thread_local ThreadAltStack own;
  if (own.memory || !installed.load()) return;
  void* memory =
      ::mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  own.memory = memory;
  setAltStack(memory, kAltStackBytes);
}

}  // namespace quimbel
