#include "app/crash_prompt.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

#include "diagnostics/report.h"
#include "diagnostics/session_marker.h"
#include "model/pad_model.h"

namespace quimbel {
namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

bool modalWindowOpen() {
  if (QApplication::activeModalWidget() != nullptr) return true;
  // A window-modal dialog (a sheet) that is not active still counts.
  const auto windows = QApplication::topLevelWidgets();
  return std::any_of(windows.begin(), windows.end(), [](const QWidget* window) {
    return window->isVisible() && window->windowModality() != Qt::NonModal;
  });
}

// Raises a question each time the panel shows while it waits: the panel
// stays on top and raises itself as it opens, and a modal question hidden
// behind it would leave the panel dead to every click.
class KeepAbove final : public QObject {
 public:
  KeepAbove(QWidget* panel, QWidget* question) : question_(question) {
    if (panel) panel->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      // After the panel's own raise, which follows its show.
      QTimer::singleShot(0, question_, [question = question_] {
        question->raise();
        question->activateWindow();
      });
    }
    return false;
  }

 private:
  QWidget* question_;
};

}  // namespace

QtCrashPrompt::QtCrashPrompt(std::function<std::optional<PadState>()> state,
                             std::function<bool()> busy, QWidget* dialogParent)
    : state_(std::move(state)), busy_(std::move(busy)), dialogParent_(dialogParent) {}

QtCrashPrompt::~QtCrashPrompt() {
  // A mail program still running keeps running after the program quits:
  // it may be the user's mail window.
  for (QProcess* process : findChildren<QProcess*>()) {
    process->disconnect();
    process->setParent(nullptr);
  }
}

QWidget* QtCrashPrompt::visibleParent() const {
  return dialogParent_ && dialogParent_->isVisible() ? dialogParent_.data() : nullptr;
}

bool QtCrashPrompt::mayAsk() {
  const auto state = state_ ? state_() : std::nullopt;
  if (!state || *state == PadState::count || *state == PadState::rec) return false;
  if (modalWindowOpen()) return false;
  return !(busy_ && busy_());
}

bool QtCrashPrompt::askBox(const std::string& message, const std::string& informative,
                           const std::string& accept, const std::string& reject) {
  QMessageBox box(visibleParent());
  // Above the panel, which itself stays above every other window.
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  KeepAbove keepAbove(dialogParent_, &box);
  box.setWindowTitle(QStringLiteral("Quimbel"));
  box.setIcon(QMessageBox::Warning);
  box.setText(qs(message));
  box.setInformativeText(qs(informative));
  QPushButton* accepted = box.addButton(qs(accept), QMessageBox::AcceptRole);
  box.addButton(qs(reject), QMessageBox::RejectRole);
  box.setDefaultButton(accepted);
  box.show();
  box.raise();
  box.activateWindow();
  box.exec();
  return box.clickedButton() == accepted;
}

bool QtCrashPrompt::ask(const Question& question) {
  return askBox(question.message, question.informative, question.sendButton, question.notNowButton);
}

void QtCrashPrompt::mail(const Mail& mail, const Fallback& fallback) {
  // "No usable mail client": the command is missing, fails to start or
  // exits with an error.
  if (QStandardPaths::findExecutable(mailCommand_).isEmpty()) {
    offerSaving(mail, fallback);
    return;
  }
  auto* process = new QProcess(this);
  process->setProgram(mailCommand_);
  process->setArguments({QStringLiteral("--subject"), qs(mail.subject), QStringLiteral("--body"),
                         qs(mail.body), QStringLiteral("--attach"),
                         QString::fromStdString(mail.attachment.string()), qs(mail.recipient)});
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  connect(process, &QProcess::finished, this,
          [this, process, mail, fallback](int exitCode, QProcess::ExitStatus status) {
            process->deleteLater();
            if (status != QProcess::NormalExit || exitCode != 0) offerSaving(mail, fallback);
          });
  connect(process, &QProcess::errorOccurred, this,
          [this, process, mail, fallback](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart) return;
            process->deleteLater();
            offerSaving(mail, fallback);
          });
  process->start();
}

void QtCrashPrompt::offerSaving(const Mail& mail, const Fallback& fallback) {
  emit fallbackShown();
  if (!askBox(fallback.message, fallback.informative, fallback.saveButton, fallback.cancelButton)) {
    return;
  }

  const QString name = QString::fromStdString(mail.attachment.filename().string());
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  const QString chosen =
      QFileDialog::getSaveFileName(visibleParent(), QString(), QDir(folder).filePath(name),
                                   QStringLiteral("Plain text (*.txt)"));
  if (chosen.isEmpty()) return;
  // Written beside the destination and renamed over it, so that a failed
  // copy never leaves half a report or removes the file that was there.
  const auto report = readWholeFile(mail.attachment);
  std::string error = "cannot read " + mail.attachment.string();
  if (!report || !writeFileAtomically(chosen.toStdString(), *report, &error)) {
    diagnostics::consoleLine("couldn't save the crash report: " + error);
  }
}

CrashReporting::CrashReporting(std::unique_ptr<QtCrashPrompt> prompt,
                               std::unique_ptr<CrashReporter> reporter)
    : prompt_(std::move(prompt)), reporter_(std::move(reporter)) {}

CrashReporting::~CrashReporting() {
  // The reporter refers to the prompt; it goes first.
  reporter_.reset();
  prompt_.reset();
}

void CrashReporting::quit() { reporter_->quit(); }

std::unique_ptr<CrashReporting> startCrashReporting(MainThread& mainThread,
                                                    std::function<const PadModel*()> model,
                                                    QWidget* dialogParent,
                                                    std::function<bool()> busy) {
  auto state = [model = std::move(model)]() -> std::optional<PadState> {
    const PadModel* instrument = model ? model() : nullptr;
    if (!instrument) return std::nullopt;
    return instrument->state().get();
  };
  auto prompt = std::make_unique<QtCrashPrompt>(std::move(state), std::move(busy), dialogParent);
  auto reporter =
      std::make_unique<CrashReporter>(CrashReporter::standardSetup(), mainThread, *prompt);
  reporter->start();
  return std::make_unique<CrashReporting>(std::move(prompt), std::move(reporter));
}

}  // namespace quimbel
