#include "app/app_delegate_about.h"

#include <QDesktopServices>
#include <QUrl>
#include <memory>

#include "export/video_export.h"
#include "ui/about_window.h"
#include "ui/pixel_grid_view.h"

#ifndef QUIMBEL_VERSION
#define QUIMBEL_VERSION "1.0"
#endif

namespace quimbel {

namespace {

// Keeps the one About window alive as long as its owner, as a child object
// that the next opening finds again.
class AboutWindowHolder final : public QObject {
 public:
  explicit AboutWindowHolder(QObject& owner) : QObject(&owner) {}
  std::unique_ptr<AboutWindow> window;
};

// The maker's page, the same address the video's last frame shows.
QUrl makerPage() { return QUrl(QStringLiteral("https://") + QLatin1String(kMakerAddress)); }

}  // namespace

AboutWindow& openAboutWindow(QObject& owner, bool reduceMotion) {
  AboutWindowHolder* holder = nullptr;
  for (QObject* child : owner.children()) {
    holder = dynamic_cast<AboutWindowHolder*>(child);
    if (holder) break;
  }
  if (!holder) {
    holder = new AboutWindowHolder(owner);
    holder->window = std::make_unique<AboutWindow>(QStringLiteral(QUIMBEL_VERSION),
                                                   QLatin1String(kMakerAddress));
    QObject::connect(holder->window.get(), &AboutWindow::makerPageRequested, holder,
                     [] { QDesktopServices::openUrl(makerPage()); });
  }
  holder->window->open(PixelGridView::uptimeMs(), reduceMotion);
  return *holder->window;
}

}  // namespace quimbel
