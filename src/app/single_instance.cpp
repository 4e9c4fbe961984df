#include "app/single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

#include "diagnostics/report.h"

namespace quimbel {

namespace {

constexpr int kConnectMs = 500;
const char kShow[] = "show\n";

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
  // One instrument per user and display: a test session on its own X server
  // runs beside the desktop's.
  QString display = qEnvironmentVariable("DISPLAY", qEnvironmentVariable("WAYLAND_DISPLAY"));
  display.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9.]")), QStringLiteral("_"));
  const QString name =
      QStringLiteral("quimbel-%1-%2").arg(static_cast<qulonglong>(::getuid())).arg(display);
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return runtime.isEmpty() ? name : runtime + QLatin1Char('/') + name;
}

bool SingleInstance::handOver() {
  {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (socket.waitForConnected(kConnectMs)) {
      socket.write(kShow);
      socket.waitForBytesWritten(kConnectMs);
      socket.disconnectFromServer();
      return true;
    }
  }
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name_)) {
    // Nobody answered, so the socket file is left over from a run that died.
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) {
      diagnostics::logLine("[quimbel] couldn't listen for a second launch: " +
                           server_->errorString().toStdString());
      return false;
    }
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (socket->readAll().startsWith("show")) emit showRequested();
        socket->disconnectFromServer();
      });
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
  return false;
}

}  // namespace quimbel
