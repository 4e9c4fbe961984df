// A window that takes file drops and prints each dropped URL on its own line
// of standard output, for the desktop check that drags an export key out of
// the panel: drop_target [seconds before it quits, default 60].

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

class DropTarget : public QWidget {
 public:
  DropTarget() {
    setAcceptDrops(true);
    setWindowTitle(QStringLiteral("drop target"));
    resize(240, 240);
  }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
  }
  void dragMoveEvent(QDragMoveEvent* event) override {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
  }
  void dropEvent(QDropEvent* event) override {
    for (const QUrl& url : event->mimeData()->urls()) {
      std::printf("%s\n", url.toString().toUtf8().constData());
    }
    std::fflush(stdout);
    event->acceptProposedAction();
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  DropTarget target;
  target.show();
  // Never left running by a check that failed half-way.
  QTimer::singleShot(std::max(1, seconds) * 1000, &app, &QApplication::quit);
  return app.exec();
}
