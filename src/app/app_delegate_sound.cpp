// The tray menu's sound items: the "Sound output" submenu (Automatic, JACK
// when a server answers, every output device, the choice checked) and "Low
// latency", both stored and applied at once; and the way back to a chosen
// output that had gone missing, taken when the panel is shown.

#include <QMenu>

#include "app/app_delegate.h"
#include "audio/output_switch.h"

namespace quimbel {

void AppDelegate::addSoundItems(QMenu& menu) {
  OutputSwitch* outputs = desktop_.outputs;
  if (!outputs) return;
  // The menu is made afresh at every opening: the previous submenu goes.
  delete menu.findChild<QMenu*>(QStringLiteral("soundOutput"), Qt::FindDirectChildrenOnly);
  QMenu* sound = menu.addMenu(QStringLiteral("Sound output"));
  sound->setObjectName(QStringLiteral("soundOutput"));
  // Filled only when it opens: asking JACK and listing the devices costs a
  // client and a device scan.
  connect(sound, &QMenu::aboutToShow, this, [this, sound, outputs] {
    sound->clear();
    for (const OutputChoice::Item& item : outputs->menu()) {
      QAction* action = sound->addAction(QString::fromStdString(item.label), this,
                                         [this, outputs, value = item.value] {
                                           outputs->choose(value, model_->defaults());
                                           model_->engine().start();
                                         });
      action->setCheckable(true);
      action->setChecked(item.checked);
    }
  });
  QAction* low = menu.addAction(QStringLiteral("Low latency"), this, [this, outputs] {
    outputs->setLowLatency(!outputs->lowLatency(), model_->defaults());
    // JACK's period is the server's: only the system's outputs restart.
    if (outputs->route() != OutputChoice::Route::jack) model_->engine().start();
  });
  low->setCheckable(true);
  low->setChecked(outputs->lowLatency());
  menu.addSeparator();
}

void AppDelegate::returnToChosenOutput() {
  if (desktop_.outputs && desktop_.outputs->returnDue()) model_->engine().start();
}

}  // namespace quimbel
