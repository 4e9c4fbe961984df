#pragma once

// Opening the About window from the tray menu.
//
// Thread contract: main thread only.

#include <QObject>

namespace quimbel {

class AboutWindow;

// Opens the About window that belongs to `owner` (the app delegate): made on
// the first call and reused by every later one, which restarts its face and
// brings it to the front; it is destroyed with the owner. `reduceMotion` is
// the desktop's setting, which keeps the face still.
AboutWindow& openAboutWindow(QObject& owner, bool reduceMotion);

}  // namespace quimbel
