#include "diagnostics/fatal_signals.h"

#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

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

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
constexpr int kMaxModules = 512;
constexpr int kMaxFrames = 128;
constexpr std::size_t kPayloadBytes = 128 * 1024;
constexpr std::size_t kAltStackBytes = 128 * 1024;

// ---- Text prepared outside any handler ----

// JSON string contents with quotes, backslashes and control characters escaped.
std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
      out += code;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

template <std::size_t N>
void copyInto(char (&target)[N], std::string_view text) {
  const std::size_t n = std::min(text.size(), N - 1);
  std::memcpy(target, text.data(), n);
  target[n] = '\0';
}

struct Module {
  std::uintptr_t start;  // lowest loaded address
  std::uintptr_t end;    // one past the highest
  std::uintptr_t bias;   // what the loader added to the file's addresses
  char name[128];        // file name, JSON-escaped
  char buildId[41];      // GNU build ID in lower-case hex, or empty
};

struct ModuleTable {
  int count;
  Module modules[kMaxModules];
};

// Two tables, so that a refresh never changes the one a handler may read.
ModuleTable moduleTables[2];
std::atomic<int> activeTable{-1};
std::mutex refreshMutex;

struct Prepared {
  char tempPath[4096];
  char finalPath[4096];
  char metaData[2048];  // the fixed part of "diagnosticMetaData", without braces
};
Prepared prepared;
char payloadBuffer[kPayloadBytes];
std::atomic<bool> installed{false};
std::atomic_flag recording = ATOMIC_FLAG_INIT;

std::string newUuid() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  const char* hex = "0123456789ABCDEF";
  std::string uuid;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) uuid.push_back('-');
    int value = nibble(device);
    if (i == 12) value = 4;                // version 4: random
    if (i == 16) value = 8 | (value & 3);  // the RFC 4122 variant
    uuid.push_back(hex[value]);
  }
  return uuid;
}

std::string fileNameOf(const char* path) {
  std::string_view text(path);
  const auto slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

std::string ownExecutableName() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "?";
  path[n] = '\0';
  return fileNameOf(path);
}

// The GNU build ID from a loaded object's note segments, as hex.
std::string buildIdOf(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    const std::size_t align = segment.p_align == 8 ? 8 : 4;
    const auto round = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
    auto at = reinterpret_cast<const unsigned char*>(info.dlpi_addr + segment.p_vaddr);
    std::size_t left = segment.p_memsz;
    while (left >= sizeof(ElfW(Nhdr))) {
      ElfW(Nhdr) note;
      std::memcpy(&note, at, sizeof note);
      const std::size_t size = sizeof note + round(note.n_namesz) + round(note.n_descsz);
      if (size > left) break;
      const auto name = at + sizeof note;
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
          std::memcmp(name, "GNU", 4) == 0) {
        const auto desc = name + round(note.n_namesz);
        std::string hex;
        for (std::size_t b = 0; b < note.n_descsz && hex.size() < 40; ++b) {
          char pair[3];
          std::snprintf(pair, sizeof pair, "%02x", desc[b]);
          hex += pair;
        }
        return hex;
      }
      at += size;
      left -= size;
    }
  }
  return {};
}

struct Collecting {
  ModuleTable* table;
  const std::string* executable;
};

int collectModule(dl_phdr_info* info, std::size_t, void* data) {
  auto& collecting = *static_cast<Collecting*>(data);
  ModuleTable& table = *collecting.table;
  if (table.count >= kMaxModules) return 1;
  std::uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    low = std::min<std::uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
    high = std::max<std::uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
  }
  if (low >= high) return 0;
  Module& module = table.modules[table.count++];
  module.start = low;
  module.end = high;
  module.bias = info->dlpi_addr;
  const bool main = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
  copyInto(module.name, escaped(main ? *collecting.executable : fileNameOf(info->dlpi_name)));
  copyInto(module.buildId, buildIdOf(*info));
  return 0;
}

// ---- Async-signal-safe writing ----

struct Out {
  char* at;
  char* end;

  void put(const char* text) {
    while (*text && at < end) *at++ = *text++;
  }
  void number(std::uint64_t value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value);
    while (n && at < end) *at++ = digits[--n];
  }
  void twoDigits(unsigned value) {
    if (end - at < 2) return;
    *at++ = static_cast<char>('0' + value / 10 % 10);
    *at++ = static_cast<char>('0' + value % 10);
  }
};

// "yyyy-MM-dd HH:mm:ss +0000", computed by hand: no library time call is
// safe in a signal handler.
void putTimeStamp(Out& out) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t secs = now.tv_sec;
  std::int64_t days = secs / 86400;
  std::int64_t rest = secs % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = yoe + era * 400 + (month <= 2);
  out.number(static_cast<std::uint64_t>(year));
  out.put("-");
  out.twoDigits(month);
  out.put("-");
  out.twoDigits(day);
  out.put(" ");
  out.twoDigits(static_cast<unsigned>(rest / 3600));
  out.put(":");
  out.twoDigits(static_cast<unsigned>(rest / 60 % 60));
  out.put(":");
  out.twoDigits(static_cast<unsigned>(rest % 60));
  out.put(" +0000");
}

// The call stack as nested frames: the innermost frame is the root and
// each caller is the one sub-frame of its callee.
void putStack(Out& out, void* const* frames, int count) {
  const int table = activeTable.load(std::memory_order_acquire);
  out.put("{\"threadAttributed\":true,\"callStackRootFrames\":[");
  for (int i = 0; i < count; ++i) {
    const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
    if (i) out.put(",\"subFrames\":[");
    out.put("{");
    const Module* found = nullptr;
    if (table >= 0) {
      const ModuleTable& modules = moduleTables[table];
      for (int m = 0; m < modules.count && !found; ++m) {
        if (address >= modules.modules[m].start && address < modules.modules[m].end) {
          found = &modules.modules[m];
        }
      }
    }
    if (found) {
      out.put("\"binaryName\":\"");
      out.put(found->name);
      out.put("\",\"binaryUUID\":\"");
      out.put(found->buildId);
      out.put("\",\"offsetIntoBinaryTextSegment\":");
      out.number(address - found->bias);
      out.put(",");
    }
    out.put("\"address\":");
    out.number(address);
    out.put(",\"sampleCount\":1");
  }
  for (int i = 0; i < count; ++i) out.put(i + 1 < count ? "}]" : "}");
  out.put("]}");
}

int exceptionTypeOf(int signal) {
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      return 1;  // EXC_BAD_ACCESS
    case SIGILL:
      return 2;  // EXC_BAD_INSTRUCTION
    case SIGFPE:
      return 3;  // EXC_ARITHMETIC
    case SIGTRAP:
      return 6;  // EXC_BREAKPOINT
    default:
      return 10;  // EXC_CRASH, as for an abort
  }
}

const char* signalDescription(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "Segmentation fault";
    case SIGBUS:
      return "Bus error";
    case SIGILL:
      return "Illegal instruction";
    case SIGFPE:
      return "Floating point exception";
    case SIGTRAP:
      return "Trace/breakpoint trap";
    case SIGABRT:
      return "Abort trap";
    default:
      return "Signal";
  }
}

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

  Out out{payloadBuffer, payloadBuffer + sizeof payloadBuffer};
  out.put("{\"timeStampEnd\":\"");
  putTimeStamp(out);
  out.put("\",\"crashDiagnostics\":[{\"diagnosticMetaData\":{");
  out.put(prepared.metaData);
  out.put(",\"signal\":");
  out.number(static_cast<std::uint64_t>(signal));
  out.put(",\"exceptionType\":");
  out.number(static_cast<std::uint64_t>(exceptionTypeOf(signal)));
  out.put(",\"terminationReason\":\"Namespace SIGNAL, Code ");
  out.number(static_cast<std::uint64_t>(signal));
  out.put(", ");
  out.put(signalDescription(signal));
  out.put("\"},\"callStackTree\":{\"callStackPerThread\":true,\"callStacks\":[");
  putStack(out, stack, count);
  out.put("]}}]}\n");
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

// ---- Main-thread stack samples for the hang watchdog ----

std::atomic<int> sampleCount{-1};
void* sampleFrames[kMaxFrames];
pthread_t watchedThread;

int sampleSignal() { return SIGRTMIN + 6; }

void onSampleSignal(int) {
  const int saved = errno;
  const int count = ::backtrace(sampleFrames, kMaxFrames);
  sampleCount.store(count, std::memory_order_release);
  errno = saved;
}

}  // namespace

bool fatalSignalHandlersAvailable() {
#ifdef QUIMBEL_SANITIZED
  return false;
#else
  return true;
#endif
}

void refreshLoadedModules() {
  std::lock_guard lock(refreshMutex);
  const int next = activeTable.load(std::memory_order_relaxed) == 0 ? 1 : 0;
  static const std::string executable = ownExecutableName();
  ModuleTable& table = moduleTables[next];
  table.count = 0;
  Collecting collecting{&table, &executable};
  ::dl_iterate_phdr(collectModule, &collecting);
  activeTable.store(next, std::memory_order_release);
}

bool installFatalSignalHandlers(const std::filesystem::path& pendingFolder, const AppInfo& info) {
  if (!fatalSignalHandlersAvailable() || installed.exchange(true)) return false;

  std::error_code ignored;
  std::filesystem::create_directories(pendingFolder, ignored);
  const std::string name = "metrickit-" + newUuid() + ".json";
  copyInto(prepared.finalPath, (pendingFolder / name).string());
  copyInto(prepared.tempPath, (pendingFolder / ("." + name + ".part")).string());
  copyInto(prepared.metaData, "\"appVersion\":\"" + escaped(info.version) +
                                  "\",\"appBuildVersion\":\"" + escaped(info.build) +
                                  "\",\"platformArchitecture\":\"" + escaped(info.arch) +
                                  "\",\"osVersion\":\"" + escaped(info.system) + "\"");
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

// ---- Hangs ----

HangTracker::Step HangTracker::look(double nowMs, double lastBeatMs) {
  Step step;
  const double dueMs = lastBeatMs + beatMs_;
  if (hanging_) {
    if (lastBeatMs != stalledBeatMs_) {
      // A beat ran: the loop is back.
      hanging_ = false;
      step.endedSeconds = std::max(0.0, lastBeatMs - stallStartMs_) / 1000.0;
    } else {
      step.ongoingSeconds = (nowMs - stallStartMs_) / 1000.0;
    }
    return step;
  }
  if (nowMs - dueMs >= hangMs_) {
    hanging_ = true;
    stalledBeatMs_ = lastBeatMs;
    stallStartMs_ = dueMs;
    step.began = true;
    step.ongoingSeconds = (nowMs - dueMs) / 1000.0;
  }
  return step;
}

namespace {

double steadyMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string hangPayload(const AppInfo& info, double seconds, void* const* frames, int count) {
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f s", seconds);
  std::string text = "{\"timeStampEnd\":\"";
  std::vector<char> buffer(kPayloadBytes);
  Out out{buffer.data(), buffer.data() + buffer.size()};
  putTimeStamp(out);
  text.append(buffer.data(), out.at);
  text += "\",\"hangDiagnostics\":[{\"diagnosticMetaData\":{\"appVersion\":\"" +
          escaped(info.version) + "\",\"appBuildVersion\":\"" + escaped(info.build) +
          "\",\"platformArchitecture\":\"" + escaped(info.arch) + "\",\"osVersion\":\"" +
          escaped(info.system) + "\",\"hangDuration\":\"" + duration +
          "\"},\"callStackTree\":{\"callStackPerThread\":true,\"callStacks\":[";
  if (count > 0) {
    out = Out{buffer.data(), buffer.data() + buffer.size()};
    putStack(out, frames, count);
    text.append(buffer.data(), out.at);
  }
  text += "]}}]}\n";
  return text;
}

}  // namespace

HangWatchdog::HangWatchdog(MainThread& mainThread, std::filesystem::path pendingFolder,
                           AppInfo info, std::function<void()> delivered)
    : mainThread_(mainThread),
      pendingFolder_(std::move(pendingFolder)),
      info_(std::move(info)),
      delivered_(std::move(delivered)),
      lastBeatMs_(steadyMs()) {
  beat_ = mainThread_.every(kBeatSeconds, [this] { lastBeatMs_.store(steadyMs()); });
  // Sampling the stack is left to the sanitizers' own tools in their builds.
  if (fatalSignalHandlersAvailable()) {
    void* warm[4];
    ::backtrace(warm, 4);  // its first call may allocate, never in the handler
    watchedThread = ::pthread_self();
    struct sigaction action = {};
    action.sa_handler = onSampleSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(sampleSignal(), &action, nullptr);
  }
  thread_ = std::thread([this] { watch(); });
}

HangWatchdog::~HangWatchdog() {
  beat_.reset();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HangWatchdog::watch() {
  prepareThreadForCrashes();
  HangTracker tracker(kBeatSeconds * 1000.0, kHangSeconds * 1000.0);
  std::filesystem::path file;
  double lastWrittenSeconds = 0;
  std::vector<void*> frames;
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; })) {
    const auto step = tracker.look(steadyMs(), lastBeatMs_.load());
    if (step.began) {
      file = pendingFolder_ / ("metrickit-" + newUuid() + ".json");
      frames.clear();
      if (fatalSignalHandlersAvailable()) {
        sampleCount.store(-1);
        ::pthread_kill(watchedThread, sampleSignal());
        // The sample is taken as soon as the main thread runs; a thread stuck
        // in the kernel may take a moment.
        for (int wait = 0; wait < 50 && sampleCount.load(std::memory_order_acquire) < 0; ++wait) {
          wake_.wait_for(lock, std::chrono::milliseconds(10));
        }
        if (const int count = sampleCount.load(std::memory_order_acquire); count > 0) {
          // Skip the sampling handler and the signal return frame.
          const int skip = std::min(count, 2);
          frames.assign(sampleFrames + skip, sampleFrames + count);
        }
      }
    }
    const auto seconds = step.endedSeconds ? step.endedSeconds : step.ongoingSeconds;
    if (!seconds || file.empty()) continue;
    if (step.began || step.endedSeconds || *seconds - lastWrittenSeconds >= 1.0) {
      lastWrittenSeconds = *seconds;
      writeFileAtomically(
          file, hangPayload(info_, *seconds, frames.data(), static_cast<int>(frames.size())));
    }
    if (step.endedSeconds) {
      file.clear();
      lastWrittenSeconds = 0;
      mainThread_.post(delivered_);
    }
  }
}

}  // namespace quimbel
