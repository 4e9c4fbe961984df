#pragma once

// Notices at launch that an earlier run ended abnormally (its run marker is
// still there, or the crash handler or the hang watchdog left a payload) and,
// a few seconds later, asks the user once whether to send a report.
//
// Thread contract: main thread only. The prompt, the run loop and the log
// must outlive the reporter. Payloads written by the hang watchdog on its
// own thread reach the check through MainThread::post.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/main_thread.h"
#include "diagnostics/app_info.h"
#include "diagnostics/log.h"
#include "diagnostics/store.h"
#include "diagnostics/utc_time.h"

namespace quimbel {

class HangWatchdog;

// The user-facing side of the reporter, provided by the desktop shell.
class CrashPrompt {
 public:
  struct Question {
    std::string message;
    std::string informative;
    std::string sendButton;
    std::string notNowButton;
  };
  // What a new e-mail holds; the report file is its one attachment.
  struct Mail {
    std::string recipient;
    std::string subject;
    std::string body;
    std::filesystem::path attachment;
  };
  // The alert shown when no mail program takes the report.
  struct Fallback {
    std::string message;
    std::string informative;
    std::string saveButton;
    std::string cancelButton;
  };

  virtual ~CrashPrompt() = default;
  // True when the question may be put now: the instrument exists and is
  // neither counting in nor recording, no modal window or sheet is open and
  // the shell is not busy.
  virtual bool mayAsk() = 0;
  // Brings the program to the front and asks; true for the send button.
  virtual bool ask(const Question& question) = 0;
  // Opens a new e-mail; when no mail program can take it, shows the
  // fallback and offers to save the attachment.
  virtual void mail(const Mail& mail, const Fallback& fallback) = 0;
};

class CrashReporter {
 public:
  static constexpr double kFirstCheckSeconds = 6.0;
  static constexpr double kRetrySeconds = 10.0;
  static constexpr std::size_t kLogTailBytes = 65536;
  static constexpr std::int64_t kPendingKeptSeconds = 2592000;  // 30 days
  static constexpr std::int64_t kOutboxKeptSeconds = 604800;    // 7 days

  struct Setup {
    DiagnosticsStore store;
    AppInfo info;
    // The program's log: its tail and date go into the records, and the
    // reporter's own lines go to it.
    DiagnosticsLog* log = nullptr;
    // A test harness runs the program: the reporter stays off.
    bool testRun = false;
    // Starts the hang watchdog (the program does; tests of the flow do not).
    bool watchHangs = true;
    // Whether a process with this id is another running instance of this
    // program. Empty: /proc/<pid>/exe names the same file as ours.
    std::function<bool(std::int32_t pid)> sameProgramRunning;
    // The wall clock. Empty: the system clock.
    std::function<utc::Time()> now;
    // This process. 0: getpid().
    std::int32_t pid = 0;
  };

  // The setup for this program: the standard store and log, the test-run
  // switch from the environment.
  static Setup standardSetup();

  CrashReporter(Setup setup, MainThread& mainThread, CrashPrompt& prompt);
  ~CrashReporter();
  CrashReporter(const CrashReporter&) = delete;
  CrashReporter& operator=(const CrashReporter&) = delete;

  // Turns the markers of earlier runs into pending records, prunes old
  // files, writes this run's marker, logs the first line and schedules the
  // check. Once; nothing in a test run or without a diagnostics folder.
  void start();
  // Decides whether to ask, asks, and acts on the answer.
  void check();
  // The normal end of the program: logs "[quimbel] quit" and removes this
  // run's marker, when started.
  void quit();
  // New payloads were saved during the run.
  void payloadsArrived();
  // Switches the hang watchdog on while the program is in use (its panel
  // shows or its audio runs) and off while it sits hidden and silent.
  void watchHangs(bool on);

  bool started() const { return started_; }
  bool asked() const { return asked_; }
  std::filesystem::path markerFile() const;

 private:
  void sweep(std::optional<utc::Time> lastLogAt);
  void prune();
  void logLine(const std::string& line);

  Setup setup_;
  MainThread& mainThread_;
  CrashPrompt& prompt_;
  bool started_ = false;
  bool quit_ = false;
  bool asked_ = false;
  std::unique_ptr<TaskHandle> firstCheck_;
  std::unique_ptr<TaskHandle> retry_;
  std::unique_ptr<HangWatchdog> watchdog_;
  // Tasks posted from the watchdog's thread may outlive the reporter.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// Whether a process id belongs to a running process of the same executable
// file as this one (/proc/<pid>/exe; a replaced file still counts).
bool isSameProgramRunning(std::int32_t pid);

}  // namespace quimbel
