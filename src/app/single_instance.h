#pragma once

// One instrument per user session: a second launch hands over to the running
// one (which shows its panel) and exits, instead of a second tray icon that
// fights over the sound device and the settings. A local socket in the
// user's runtime folder carries the hand-over.

#include <QObject>
#include <QString>

class QLocalServer;

namespace quimbel {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `name`: the socket's name; one per user by default.
  explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

  // True when another instance answered and was asked to show its panel: the
  // caller then exits. Otherwise this instance starts listening.
  bool handOver();

  static QString defaultName();

 signals:
  // Another launch asked this instance to show itself.
  void showRequested();

 private:
  QString name_;
  QLocalServer* server_ = nullptr;
};

}  // namespace quimbel
