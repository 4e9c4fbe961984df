#include "look/font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QString>
#include <filesystem>
#include <mutex>

#include "files/data_folder.h"

namespace quimbel {
namespace {

QFont panelFaceBase() {
  static std::once_flag once;
  static QFont base;
  std::call_once(once, [] {
    const std::filesystem::path fonts = dataFolder() / "Fonts";
    for (const char* file :
         {"uncut-sans-latin-400-normal.woff2", "uncut-sans-latin-400-normal.woff"}) {
      const std::filesystem::path path = fonts / file;
      if (QFontDatabase::addApplicationFont(QString::fromStdString(path.string())) >= 0) break;
    }
    for (const char* family : {"Uncut Sans", "HelveticaNeue"}) {
      QFont font(QString::fromLatin1(family));
      if (QFontInfo(font).family() == QLatin1String(family)) {
        base = font;
        return;
      }
    }
    base = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  });
  return base;
}

}  // namespace

QFont panelFace(double size, double letterSpacing) {
  QFont font = panelFaceBase();
  font.setPointSizeF(size);
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setKerning(true);
  if (letterSpacing != 0.0) font.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
  return font;
}

}  // namespace quimbel
