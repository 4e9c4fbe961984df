#pragma once

// Starting the program at login: the desktop entry in the user's autostart
// folder (~/.config/autostart/…) that runs it. Writing the entry goes through
// a save file, so a failed write leaves no half entry; failures are logged.
//
// Thread contract: main thread only.

#include <QString>

namespace quimbel {

class Autostart {
 public:
  // `file`: where the entry goes, empty where the desktop has none;
  // `program`: the executable the entry starts.
  Autostart(QString file, QString program);

  // False without an entry file: the menu then offers no item.
  bool available() const { return !file_.isEmpty(); }
  bool enabled() const;
  void setEnabled(bool on);

 private:
  QString file_;
  QString program_;
};

}  // namespace quimbel
