#include "screen/snapshot.h"

namespace quimbel::ChordScreen {

Input snapshot(const Live& live, double now) {
  Input input;
  input.key = live.key;
  input.shown = live.shownChord;
  input.state = live.state;
  input.countN = live.countN;
  input.recAt = live.recAt;
  if (live.volumeDragging || now - live.volumeShownAt < kVolumeShownMs) {
    input.volume = live.volume;
  }
  if (live.knobDragging || now - live.knobShownAt < kKnobShownMs) input.knob = live.knob;
  const bool anyModifier = live.sevenths || live.ninths || live.strum;
  if (live.legendUp && anyModifier && live.state != PadState::count &&
      now - live.modsAt > kLegendDelayMs) {
    input.legend = Legend{live.sevenths || live.ninths, live.ninths, live.strum};
  }
  if (live.state == PadState::done) {
    input.sheet.reserve(live.hits.size());
    for (const ChordHit& hit : live.hits) input.sheet.push_back(hit.shown);
  }
  return input;
}

}  // namespace quimbel::ChordScreen
