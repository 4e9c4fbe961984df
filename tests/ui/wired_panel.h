#pragma once

// The panel wired to a pad model by the app delegate, as the program does,
// on the offscreen platform and virtual time over the on-demand backend, for
// tests of the wiring and of the delegate. Without a tray unless told; shown
// at once asks for a panel whose keys pair no repeats.

#include <memory>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "audio/fake_sequencer.h"
#include "base/memory_settings_store.h"
#include "model/model_rig.h"
#include "ui/offscreen_app.h"
#include "ui/panel_view.h"

namespace quimbel::testing {

struct WiredPanel {
  explicit WiredPanel(AppDelegate::Desktop desktop = {.trayAvailable = false}, bool shown = false)
      : delegate(PadModel::Services{clock, main, backend, installTestTones,
                                    std::make_unique<MemorySettingsStore>(),
                                    std::make_unique<FakeSequencer>(sequencer), true, true},
                 std::move(desktop)) {
    delegate.setup();
    if (shown) delegate.showPanel(), panel().setRepeatPairWindowMs(0);
  }
  PadModel& model() { return delegate.model(); }
  PadPanel& panel() { return *delegate.panel(); }
  PanelView& view() { return panel().view(); }

  QApplication& qt = offscreenApp();
  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  SequencerState sequencer;
  AppDelegate delegate;
};

}  // namespace quimbel::testing
