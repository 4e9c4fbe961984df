#pragma once

// The desktop side of crash reporting: the question, the mail hand-over
// through xdg-email, the fallback alert and the Save dialog, and the one
// entry the program's start calls.
//
// Thread contract: main thread only.

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "diagnostics/crash_reporter.h"
#include "music/pad_state.h"

namespace quimbel {

class PadModel;

class QtCrashPrompt final : public QObject, public CrashPrompt {
  Q_OBJECT
 public:
  // `state`: the instrument's take state, nothing while there is no
  // instrument. `busy`: the shell's own veto. `dialogParent` may be null or
  // hidden; the alerts then stand alone.
  QtCrashPrompt(std::function<std::optional<PadState>()> state, std::function<bool()> busy,
                QWidget* dialogParent);
  ~QtCrashPrompt() override;

  bool mayAsk() override;
  bool ask(const Question& question) override;
  void mail(const Mail& mail, const Fallback& fallback) override;

  // The mail program to run; "xdg-email" unless a test names another.
  void setMailCommand(QString command) { mailCommand_ = std::move(command); }

 signals:
  // The fallback alert is about to show (no mail program took the report).
  void fallbackShown();

 private:
  void offerSaving(const Mail& mail, const Fallback& fallback);
  QWidget* visibleParent() const;
  // A warning box with two buttons; true for the accepting one.
  bool askBox(const std::string& message, const std::string& informative, const std::string& accept,
              const std::string& reject);

  std::function<std::optional<PadState>()> state_;
  std::function<bool()> busy_;
  QPointer<QWidget> dialogParent_;
  QString mailCommand_ = QStringLiteral("xdg-email");
};

// What the program holds while it runs: the reporter and its prompt.
class CrashReporting {
 public:
  CrashReporting(std::unique_ptr<QtCrashPrompt> prompt, std::unique_ptr<CrashReporter> reporter);
  ~CrashReporting();
  // The normal quit: logs "[quimbel] quit" and removes this run's marker.
  void quit();
  CrashReporter& reporter() { return *reporter_; }

 private:
  std::unique_ptr<QtCrashPrompt> prompt_;
  std::unique_ptr<CrashReporter> reporter_;
};

// Starts crash reporting at the end of the launch set-up: turns the markers
// of ended runs into pending records, marks this run, starts the hang
// watchdog and asks 6 seconds later when there is something to tell. Off in
// a test run. `model` gives the instrument, or null once it is gone; `busy`
// may veto the question (empty: never busy).
std::unique_ptr<CrashReporting> startCrashReporting(MainThread& mainThread,
                                                    std::function<const PadModel*()> model,
                                                    QWidget* dialogParent,
                                                    std::function<bool()> busy = {});

}  // namespace quimbel
