#include "app/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <utility>

#include "diagnostics/report.h"

namespace quimbel {

Autostart::Autostart(QString file, QString program)
    : file_(std::move(file)), program_(std::move(program)) {}

bool Autostart::enabled() const { return QFileInfo::exists(file_); }

void Autostart::setEnabled(bool on) {
  if (!on) {
    QFile::remove(file_);
    return;
  }
  QDir().mkpath(QFileInfo(file_).absolutePath());
  QSaveFile file(file_);
  if (!file.open(QIODevice::WriteOnly)) {
    diagnostics::logLine("[quimbel] couldn't write the autostart entry");
    return;
  }
  QString program = program_;
  program.replace(QLatin1Char('"'), QStringLiteral("\\\""));
  const QString entry = QStringLiteral(
                            "[Desktop Entry]\nType=Application\nName=Quimbel\n"
                            "Comment=Chord instrument in the system tray\nExec=\"%1\"\n"
                            "Icon=app.quimbel.Quimbel\nTerminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n")
                            .arg(program);
  file.write(entry.toUtf8());
  if (!file.commit()) diagnostics::logLine("[quimbel] couldn't write the autostart entry");
}

}  // namespace quimbel
