#pragma once

// The About window: a small dark window with the animated pixel face, the
// product name, the version, a link to the maker's web page and the
// licences. One window is made and reused; every opening restarts the face.

#include <QPoint>
#include <QWidget>
#include <optional>

class QLabel;
class QPlainTextEdit;

namespace quimbel {

class PixelGridView;

class AboutWindow : public QWidget {
  Q_OBJECT
 public:
  // `version` as the program knows it ("1.0.0"); `link` is the text of the
  // maker's page link.
  AboutWindow(const QString& version, const QString& link, QWidget* parent = nullptr);

  // Restarts the face at `openedMs` (uptime), fits the size, centres the
  // window on the screen under the pointer and brings it to the front.
  // `reduceMotion`: the desktop's setting now, which keeps the face still.
  void open(double openedMs, bool reduceMotion);

  // The licences' text view, a window of its own, made on first use.
  void showLicences();

  QString versionText() const;
  PixelGridView* face() const { return face_; }
  QWidget* licencesWindow() const;

  // The credits and licence texts compiled into the program.
  static QString licenceText();

 signals:
  // The user clicked the link to the maker's web page.
  void makerPageRequested();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  PixelGridView* face_ = nullptr;
  QLabel* version_ = nullptr;
  QPlainTextEdit* licences_ = nullptr;
  // Where a background drag grabbed the window, for window systems that do
  // not move windows themselves.
  std::optional<QPoint> grab_;
};

}  // namespace quimbel
