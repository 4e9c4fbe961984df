#include "ui/about_window.h"

#include <QCursor>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include "screen/about_face.h"
#include "ui/panel_font.h"
#include "ui/pixel_grid_view.h"

namespace quimbel {

namespace {

constexpr QColor kBackground{22, 22, 22};
constexpr QColor kNameColor{0xED, 0xED, 0xED};
constexpr QColor kDetailColor{0xA8, 0xA8, 0xA8};

constexpr int kColumnWidth = 280;
constexpr int kPaddingTop = 48;
constexpr int kPaddingBottom = 32;
constexpr int kFaceSide = 160;

QLabel* textLabel(const QString& text, double points, QColor color, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(panelFont(points));
  label->setAlignment(Qt::AlignHCenter);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Link, color);
  palette.setColor(QPalette::LinkVisited, color);
  label->setPalette(palette);
  return label;
}

// An underlined link that reports its click instead of opening anything itself.
QLabel* linkLabel(const QString& text, double points, QWidget* parent) {
  auto* label = textLabel(
      QStringLiteral("<a href=\"#\" style=\"color: %1; text-decoration: underline\">%2</a>")
          .arg(kDetailColor.name(), text.toHtmlEscaped()),
      points, kDetailColor, parent);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setOpenExternalLinks(false);
  label->setAccessibleName(text);
  return label;
}

void paintDark(QWidget& widget) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, kBackground);
  palette.setColor(QPalette::Base, kBackground);
  palette.setColor(QPalette::WindowText, kNameColor);
  palette.setColor(QPalette::Text, kNameColor);
  // The licences' scroll bar is drawn in the button colours.
  palette.setColor(QPalette::Button, kBackground.lighter(160));
  palette.setColor(QPalette::ButtonText, kDetailColor);
  widget.setPalette(palette);
  widget.setAutoFillBackground(true);
}

}  // namespace

AboutWindow::AboutWindow(const QString& version, const QString& link, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("About Quimbel"));
  setObjectName(QStringLiteral("aboutWindow"));
  paintDark(*this);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, kPaddingTop, 0, kPaddingBottom);
  column->setSpacing(0);
  // The window is as large as its content and no larger.
  column->setSizeConstraint(QLayout::SetFixedSize);

  face_ = new PixelGridView([](double) { return AboutFace::face(0, 0, true); }, this);
  face_->setFixedSize(kFaceSide, kFaceSide);
  face_->setAccessibleName(QStringLiteral("Quimbel's face"));
  column->addWidget(face_, 0, Qt::AlignHCenter);
  column->addSpacing(24);

  column->addWidget(textLabel(QStringLiteral("Quimbel"), 20, kNameColor, this));
  column->addSpacing(6);
  version_ = textLabel(QStringLiteral("Version ") + version, 14, kDetailColor, this);
  column->addWidget(version_);
  column->addSpacing(14);

  QLabel* maker = linkLabel(link, 14, this);
  connect(maker, &QLabel::linkActivated, this, [this] { emit makerPageRequested(); });
  column->addWidget(maker);
  column->addSpacing(8);

  QLabel* licences = linkLabel(QStringLiteral("Licences"), 12, this);
  connect(licences, &QLabel::linkActivated, this, [this] { showLicences(); });
  column->addWidget(licences);

  // The column is a fixed width; the labels centre themselves in it.
  for (int i = 0; i < column->count(); ++i) {
    if (QWidget* item = column->itemAt(i)->widget(); item && item != face_) {
      item->setFixedWidth(kColumnWidth);
    }
  }
}

void AboutWindow::open(double openedMs, bool reduceMotion) {
  face_->setCellsAt([openedMs, reduceMotion](double nowMs) {
    return AboutFace::face(nowMs, openedMs, reduceMotion);
  });
  adjustSize();

  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  // A minimised window comes back as it was.
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

QString AboutWindow::versionText() const { return version_->text(); }

QWidget* AboutWindow::licencesWindow() const { return licences_; }

QString AboutWindow::licenceText() {
  QFile file(QStringLiteral(":/licences/Licences.txt"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

void AboutWindow::showLicences() {
  if (!licences_) {
    licences_ = new QPlainTextEdit(this);
    licences_->setWindowFlags(Qt::Window);
    licences_->setWindowTitle(QStringLiteral("Quimbel Licences"));
    licences_->setReadOnly(true);
    licences_->setPlainText(licenceText());
    licences_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    paintDark(*licences_);
    licences_->resize(620, 520);
  }
  licences_->show();
  licences_->raise();
  licences_->activateWindow();
}

void AboutWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  // The window system moves the window where it can (Wayland allows nothing else).
  if (windowHandle() && windowHandle()->startSystemMove()) return;
  grab_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void AboutWindow::mouseMoveEvent(QMouseEvent* event) {
  if (grab_) move(event->globalPosition().toPoint() - *grab_);
}

void AboutWindow::mouseReleaseEvent(QMouseEvent* event) {
  grab_.reset();
  QWidget::mouseReleaseEvent(event);
}

}  // namespace quimbel
