#include "app/tray_icon.h"

#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <utility>

#include "app/trace.h"

namespace quimbel {

TrayIcon::TrayIcon(std::function<Checks()> checks, QObject* parent)
    : QSystemTrayIcon(parent), checks_(std::move(checks)) {
  setIcon(QIcon(picture(qApp->devicePixelRatio())));
  setToolTip(QStringLiteral("Quimbel"));
  menu_ = std::make_unique<QMenu>();
  connect(menu_.get(), &QMenu::aboutToShow, this, [this] { buildMenu(*menu_); });
  buildMenu(*menu_);
  setContextMenu(menu_.get());
  connect(this, &QSystemTrayIcon::activated, this, [this](ActivationReason reason) {
    // Two quick clicks arrive as a click and a double click: the second one
    // counts as a click as well.
    if (reason != Trigger && reason != DoubleClick) return;
    std::optional<QPoint> at;
    if (!QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) at = QCursor::pos();
    trace("tray-click");
    emit clicked(at);
  });
}

TrayIcon::~TrayIcon() = default;

QPixmap TrayIcon::picture(double devicePixelRatio) {
  // Three white keys with two black keys between them, in an 18-point square.
  const double ratio = devicePixelRatio > 0.0 ? devicePixelRatio : 1.0;
  const int side = static_cast<int>(std::ceil(18.0 * ratio));
  QImage keys(side, side, QImage::Format_ARGB32_Premultiplied);
  keys.setDevicePixelRatio(ratio);
  keys.fill(Qt::transparent);
  {
    QPainter painter(&keys);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate((18.0 - 16.4) / 2.0, (18.0 - 16.4) / 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (double x : {0.0, 6.0, 12.0}) painter.drawRoundedRect(QRectF(x, 0, 4.4, 16.4), 1.1, 1.1);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    for (double x : {2.74, 8.74}) painter.drawRoundedRect(QRectF(x, -1.0, 4.93, 11.61), 1.0, 1.0);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    for (double x : {3.84, 9.84}) painter.drawRoundedRect(QRectF(x, 0, 2.73, 9.51), 0.8, 0.8);
  }
  // A tray shows the picture as it is, on light and dark panels alike: the
  // black drawing gets a light rim so that it reads on both.
  QImage icon(side, side, QImage::Format_ARGB32_Premultiplied);
  icon.setDevicePixelRatio(ratio);
  icon.fill(Qt::transparent);
  {
    QPainter painter(&icon);
    QImage rim(side, side, QImage::Format_ARGB32_Premultiplied);
    rim.fill(Qt::transparent);
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        int alpha = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int sx = x + dx, sy = y + dy;
            if (sx >= 0 && sy >= 0 && sx < side && sy < side)
              alpha = std::max(alpha, qAlpha(keys.pixel(sx, sy)));
          }
        }
        rim.setPixel(x, y, qPremultiply(qRgba(236, 236, 236, alpha)));
      }
    }
    rim.setDevicePixelRatio(ratio);
    painter.drawImage(QPointF(0, 0), rim);
    painter.drawImage(QPointF(0, 0), keys);
  }
  return QPixmap::fromImage(icon);
}

std::vector<QString> TrayIcon::menuTitles() {
  QMenu menu;
  buildMenu(menu);
  std::vector<QString> titles;
  for (QAction* action : menu.actions()) {
    if (!action->isVisible()) continue;
    QString title = action->isSeparator() ? QString() : action->text();
    if (action->isCheckable()) title.prepend(action->isChecked() ? "[x] " : "[ ] ");
    titles.push_back(title);
  }
  return titles;
}

QAction* TrayIcon::addCheckable(QMenu& menu, const QString& title, bool checked) {
  QAction* action = menu.addAction(title);
  action->setCheckable(true);
  action->setChecked(checked);
  return action;
}

void TrayIcon::buildMenu(QMenu& menu) {
  // The old actions and their group go with the menu's children.
  for (QObject* child : menu.findChildren<QActionGroup*>(Qt::FindDirectChildrenOnly)) delete child;
  menu.clear();
  const Checks checks = checks_();
  // The two layouts are one choice: radio items.
  auto* layouts = new QActionGroup(&menu);
  layouts->addAction(addCheckable(menu, QStringLiteral("Tall layout"), !checks.wide));
  layouts->addAction(addCheckable(menu, QStringLiteral("Wide layout"), checks.wide));
  connect(layouts, &QActionGroup::triggered, this,
          [this, wide = layouts->actions().last()](QAction* chosen) {
            emit layoutChosen(chosen == wide);
          });
  menu.addSeparator();
  connect(addCheckable(menu, QStringLiteral("Quantize takes: 1/%1, %2%").arg(8).arg(70),
                       checks.quantize),
          &QAction::triggered, this, [this] { emit quantizeToggled(); });
  if (checks.startAtLogin) {
    connect(addCheckable(menu, QStringLiteral("Start at login"), *checks.startAtLogin),
            &QAction::triggered, this, [this] { emit startAtLoginToggled(); });
  }
  menu.addSeparator();
  if (extraItems_) extraItems_(menu);
  menu.addAction(QStringLiteral("About Quimbel"), this, [this] { emit aboutRequested(); });
  menu.addSeparator();
  // Ctrl+Q quits only while the panel has the keyboard, not from the tray:
  // the item shows no shortcut.
  menu.addAction(QStringLiteral("Quit Quimbel"), this, [this] { emit quitRequested(); });
}

}  // namespace quimbel
