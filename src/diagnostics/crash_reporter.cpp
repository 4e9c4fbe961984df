#include "diagnostics/crash_reporter.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "diagnostics/crash_report_text.h"
#include "diagnostics/ended_session.h"
#include "diagnostics/hang_watchdog.h"
#include "diagnostics/module_table.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace fs = std::filesystem;

namespace {

std::string processExecutable(const std::string& pid) {
  std::error_code error;
  std::string target = fs::read_symlink("/proc/" + pid + "/exe", error).string();
  if (error) return {};
  // An updated program still runs from its old, now deleted, file.
  constexpr std::string_view kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() &&
      target.compare(target.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    target.resize(target.size() - kDeleted.size());
  }
  return target;
}

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The regular files of a folder in the order of their names.
std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (it->is_regular_file(ignored)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

bool isSameProgramRunning(std::int32_t pid) {
  if (pid <= 0) return false;
  const std::string theirs = processExecutable(std::to_string(pid));
  return !theirs.empty() && theirs == processExecutable("self");
}

CrashReporter::Setup CrashReporter::standardSetup() {
  Setup setup;
  setup.store = DiagnosticsStore::standard();
  setup.info = AppInfo::current();
  setup.log = &DiagnosticsLog::shared();
  setup.testRun = isTestRun([](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  });
  return setup;
}

CrashReporter::CrashReporter(Setup setup, MainThread& mainThread, CrashPrompt& prompt)
    : setup_(std::move(setup)), mainThread_(mainThread), prompt_(prompt) {
  if (!setup_.sameProgramRunning) setup_.sameProgramRunning = isSameProgramRunning;
  if (!setup_.now) setup_.now = [] { return std::chrono::system_clock::now(); };
  if (setup_.pid == 0) setup_.pid = static_cast<std::int32_t>(::getpid());
}

CrashReporter::~CrashReporter() = default;

fs::path CrashReporter::markerFile() const {
  return setup_.store.folder / SessionMarker::fileName(setup_.pid);
}

void CrashReporter::logLine(const std::string& line) {
  if (setup_.log) setup_.log->write(line);
  diagnostics::consoleLine(line);
}

void CrashReporter::start() {
  if (setup_.testRun || started_ || setup_.store.folder.empty()) return;
  started_ = true;

  std::optional<utc::Time> lastLogAt;
  if (setup_.log) lastLogAt = setup_.log->perform([&] { return setup_.log->lastModified(); });
  sweep(lastLogAt);
  prune();

  const AppInfo& info = setup_.info;
  const SessionMarker marker{info.version, info.build, info.system, setup_.pid, setup_.now()};
  writeFileAtomically(markerFile(), marker.toJson());
  logLine("[quimbel] started: Quimbel " + info.version + " (" + info.build + "), " + info.system +
          ", " + info.model + ", " + info.arch);

  // SIGTERM already ends the program through the normal quit path: the
  // desktop shell routes it to the application's quit, which calls quit().

  // Libraries loaded since the crash handler was installed (the windowing
  // plugins) get their build IDs now.
  refreshLoadedModules();
  if (setup_.watchHangs) {
    watchdog_ = std::make_unique<HangWatchdog>(mainThread_, setup_.store.pendingFolder(), info,
                                               [this, alive = std::weak_ptr<int>(alive_)] {
                                                 if (alive.lock()) payloadsArrived();
                                               });
  }
  firstCheck_ = mainThread_.after(kFirstCheckSeconds, [this] { check(); });
}

void CrashReporter::sweep(std::optional<utc::Time> lastLogAt) {
  for (const fs::path& file : filesIn(setup_.store.folder)) {
    if (!startsWith(file.filename().string(), "session-") || file.extension() != ".json") continue;
    const auto text = readWholeFile(file);
    const auto marker = text ? SessionMarker::fromJson(*text) : std::nullopt;
    if (!marker) continue;
    // This run's own marker is written only after the sweep, so a marker
    // bearing this process's id is an earlier run's that had the same id (a
    // program started at login often gets the same one after a restart).
    if (marker->pid != setup_.pid && setup_.sameProgramRunning(marker->pid)) continue;
    std::string tail;
    if (setup_.log) tail = setup_.log->perform([&] { return setup_.log->tail(kLogTailBytes); });
    const EndedSession ended{*marker, lastLogAt, std::move(tail)};
    // The record is written before the marker goes, so that a failed write
    // leaves the marker for the next launch instead of losing the event.
    if (writeFileAtomically(setup_.store.pendingFolder() / ended.fileName(), ended.toJson())) {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  }
}

void CrashReporter::prune() {
  const auto now = setup_.now();
  const auto removeOlder = [&](const fs::path& folder, std::int64_t keptSeconds) {
    for (const fs::path& file : filesIn(folder)) {
      std::error_code error;
      const auto written = fs::last_write_time(file, error);
      const auto age = error ? std::chrono::seconds::max()
                             : std::chrono::duration_cast<std::chrono::seconds>(
                                   now - std::chrono::file_clock::to_sys(written));
      if (age.count() > keptSeconds) fs::remove(file, error);
    }
  };
  removeOlder(setup_.store.pendingFolder(), kPendingKeptSeconds);
  removeOlder(setup_.store.outboxFolder(), kOutboxKeptSeconds);
}

void CrashReporter::payloadsArrived() {
  logLine("[quimbel] the crash handler left diagnostics");
  check();
}

void CrashReporter::check() {
  retry_.reset();
  if (!started_ || quit_ || asked_) return;

  std::vector<EndedSession> ended;
  std::vector<crashreport::Payload> payloads;
  std::vector<fs::path> loaded;
  for (const fs::path& file : filesIn(setup_.store.pendingFolder())) {
    const std::string name = file.filename().string();
    const bool exit = startsWith(name, "exit-");
    if ((!exit && !startsWith(name, "metrickit-")) || file.extension() != ".json") continue;
    const auto text = readWholeFile(file);
    if (!text) continue;
    if (exit) {
      auto session = EndedSession::fromJson(*text);
      if (!session) continue;
      ended.push_back(std::move(*session));
    } else {
      auto json = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
      if (!json.is_object()) continue;
      payloads.push_back({*text, std::move(json)});
    }
    loaded.push_back(file);
  }
  const bool crashed = std::any_of(payloads.begin(), payloads.end(),
                                   [](const auto& p) { return crashreport::holdsCrash(p.json); });
  // Hangs alone are not worth a question; they ride along with a report.
  if (!crashed && ended.empty()) return;

  if (!prompt_.mayAsk()) {
    retry_ = mainThread_.after(kRetrySeconds, [this] { check(); });
    return;
  }
  asked_ = true;
  const bool send = prompt_.ask(
      {crashed ? "Quimbel quit unexpectedly last time" : "Quimbel didn’t close normally last time",
       "Send a report to Oddmark so it can be fixed? It says what Quimbel was doing when it "
       "stopped, and nothing about what you played: no audio, no names.",
       "Send report…", "Not now"});
  logLine(send ? "[quimbel] crash report: send" : "[quimbel] crash report: not now");

  fs::path report;
  if (send) {
    std::stable_sort(ended.begin(), ended.end(), [](const auto& a, const auto& b) {
      return a.marker.startedAt < b.marker.startedAt;
    });
    std::string tail;
    if (setup_.log) tail = setup_.log->perform([&] { return setup_.log->tail(kLogTailBytes); });
    const auto now = setup_.now();
    const Redaction& redaction = setup_.log ? setup_.log->redaction() : Redaction();
    const std::string text =
        crashreport::composeReport(ended, payloads, tail, setup_.info, now, redaction);
    const fs::path file =
        setup_.store.outboxFolder() / ("Quimbel report " + utc::fileStamp(now) + ".txt");
    std::string error;
    if (writeFileAtomically(file, text, &error)) {
      report = file;
    } else {
      diagnostics::consoleLine("couldn't write the crash report: " + error);
    }
  }

  // Asked once means never asked again about the same events, whatever the answer.
  for (const fs::path& file : loaded) {
    std::error_code ignored;
    fs::remove(file, ignored);
  }

  if (!report.empty()) {
    const std::string address(crashreport::kSupportAddress);
    prompt_.mail(
        {address, "Quimbel report (" + setup_.info.version + ")",
         "The report from Quimbel is attached. If you remember what you were doing when "
         "it stopped, write it here:\n\n",
         report},
        {"Mail can’t send the report", "Save it, then send it to " + address + " from your email.",
         "Save report…", "Cancel"});
  }
}

void CrashReporter::watchHangs(bool on) {
  if (watchdog_) watchdog_->setWatching(on);
}

void CrashReporter::quit() {
  if (!started_ || quit_) return;
  quit_ = true;
  retry_.reset();
  firstCheck_.reset();
  watchdog_.reset();
  logLine("[quimbel] quit");
  std::error_code ignored;
  fs::remove(markerFile(), ignored);
}

}  // namespace quimbel
