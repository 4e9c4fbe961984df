#pragma once

// The panel wired to a pad model by the app delegate, as the program does,
// on the offscreen platform and virtual time, for tests of the wiring.

#include <memory>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "base/memory_settings_store.h"
#include "model/model_rig.h"
#include "ui/offscreen_app.h"

namespace quimbel::testing {

struct WiredPanel {
  QApplication& qt = offscreenApp();
  ModelRig rig;
  AppDelegate app{
      PadModel::Services{rig.clock, rig.main, rig.backend, installTestTones,
                         std::make_unique<MemorySettingsStore>(), nullptr, false, false},
      AppDelegate::Desktop{false, {}, {}}};

  WiredPanel() { app.setup(); }
  PadModel& model() { return app.model(); }
  PanelView& view() { return app.panel()->view(); }
};

}  // namespace quimbel::testing
