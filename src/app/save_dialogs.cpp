#include "app/save_dialogs.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
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
  auto* box =
      new QMessageBox(QMessageBox::Warning, QStringLiteral("Quimbel"),
                      QStringLiteral("The file could not be saved."), QMessageBox::Ok, window);
  box->setInformativeText(QString::fromStdString(copied.error));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
  box->open();
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
  std::optional<std::filesystem::path> file;
  if (type == SaveType::midi) {
    if (std::optional<Written> written = model.exportMidi()) file = written->file;
  } else {
    file = model.exportAudio();
  }
  if (file) offerSave(*file, type, window, std::move(hold));
}

}  // namespace quimbel
