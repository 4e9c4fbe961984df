#include "app/save_dialogs.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <array>
#include <cerrno>
#include <system_error>

#include "diagnostics/report.h"
#include "model/pad_model.h"

namespace quimbel {

namespace {

struct TypeInfo {
  const char* filter;
  const char* suffix;
};

TypeInfo typeInfo(SaveType type) {
  switch (type) {
    case SaveType::midi:
      return {"MIDI file (*.mid)", "mid"};
    case SaveType::wav:
      return {"WAV audio (*.wav)", "wav"};
    case SaveType::mpeg4Movie:
      return {"MPEG-4 movie (*.mp4)", "mp4"};
  }
  return {"", ""};
}

ExportAlert& exportAlert() {
  static ExportAlert alert;
  return alert;
}

// A short message on the panel (or alone) that does not wait for its answer.
void showMessage(const std::string& message, QWidget* window) {
  if (exportAlert()) {
    exportAlert()(message, window);
    return;
  }
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Quimbel"),
                              QString::fromStdString(message), QMessageBox::Ok, window);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
  box->open();
}

// The folder the last save went to, for the next dialog of this run.
QString& lastFolder() {
  static QString folder = QDir::homePath();
  return folder;
}

void keep(const std::filesystem::path& file, const QString& chosen, QWidget* window) {
  const std::filesystem::path destination = chosen.toStdString();
  lastFolder() = QString::fromStdString(destination.parent_path().string());
  const Written copied = copyFileAside(file, destination);
  if (copied) return;
  diagnostics::logLine("[quimbel] saving an export failed: " + copied.error);
  // A save that silently did nothing would leave the user believing the take
  // is kept.
  showMessage("The file could not be saved: " + copied.error, window);
}

}  // namespace

Written copyFileAside(const std::filesystem::path& file, const std::filesystem::path& destination) {
  const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    return {std::nullopt, destination.string() + ": " + std::generic_category().message(errno)};
  }
  const Written copied = writeFileAside(destination, [in](int out) {
    std::array<char, 1 << 16> buffer{};
    for (;;) {
      const ssize_t got = ::read(in, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return errno;
      if (got == 0) return 0;
      if (const int error = writeAll(out, buffer.data(), static_cast<std::size_t>(got))) {
        return error;
      }
    }
  });
  ::close(in);
  return copied;
}

void offerSave(const std::filesystem::path& file, SaveType type, QWidget* window,
               std::shared_ptr<void> hold) {
  const TypeInfo info = typeInfo(type);
  auto* dialog = new QFileDialog(window);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter(QString::fromLatin1(info.filter));
  dialog->setDefaultSuffix(QString::fromLatin1(info.suffix));
  dialog->setDirectory(lastFolder());
  dialog->selectFile(QString::fromStdString(file.filename().string()));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  // The panel floats above other windows; so must its dialog.
  dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
  QWidget* owner = window;
  QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                   [file, owner](const QString& chosen) { keep(file, chosen, owner); });
  // The hold goes with the dialog's connection when the dialog is deleted.
  QObject::connect(dialog, &QDialog::finished, dialog, [hold](int) {});
  // Never a nested event loop: the video key offers its file from inside the
  // model's render completion, which must not be re-entered.
  dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
  dialog->open();
}

void saveTake(PadModel& model, SaveType type, QWidget* window, std::shared_ptr<void> hold) {
  if (type == SaveType::midi) {
    std::optional<Written> written = model.exportMidi();
    if (!written) return;
    if (*written) {
      offerSave(*written->file, type, window, std::move(hold));
    } else {
      alertExportFailed(type, written->error, window);
    }
    return;
  }
  // Outside a finished take the answer could wait for a render that never
  // comes, and the hold would keep the panel open meanwhile.
  if (model.state() != PadState::done) return;
  QPointer<QWidget> owner = window;
  model.withAudio([owner, type, hold = std::move(hold)](const Written& written) {
    QWidget* shownOn = owner && owner->isVisible() ? owner.data() : nullptr;
    if (written) {
      offerSave(*written.file, type, shownOn, hold);
    } else {
      alertExportFailed(type, written.error, shownOn);
    }
  });
}

void alertExportFailed(SaveType type, const std::string& reason, QWidget* window) {
  const char* what = type == SaveType::midi  ? "The MIDI file"
                     : type == SaveType::wav ? "The audio"
                                             : "The video";
  const std::string message = std::string(what) + " could not be made: " + reason;
  diagnostics::logLine("[quimbel] " + message);
  showMessage(message, window);
}

void setExportAlert(ExportAlert alert) { exportAlert() = std::move(alert); }

}  // namespace quimbel
