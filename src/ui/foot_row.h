#pragma once

// The panel's foot row: key button, tempo key, elapsed time, play, record,
// the Audio / MIDI / Video drag keys and drop on the left; volume and pin on
// the right. Which keys show depends on the take's state and the row's width.
// The row draws the values it is shown and reports what the user meant; the
// export keys ask their owner for files through FileDragSource actions.
//
// Thread contract: main thread only.

#include <QRect>
#include <QWidget>
#include <array>

#include "music/key.h"
#include "music/pad_state.h"
#include "ui/file_drag_source.h"

class QTimer;

namespace quimbel {

class KeyCap;

class FootRow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHeight = 28;
  static constexpr int kMinBpm = 60;
  static constexpr int kMaxBpm = 200;
  // Points of vertical travel per tempo step, and per full volume.
  static constexpr double kPointsPerBeat = 3.0;
  static constexpr double kPointsPerVolume = 120.0;
  static constexpr double kVolumeScrollStep = 0.05;
  static constexpr double kVolumeAccessStep = 0.1;

  enum class Export { audio, midi, video };

  explicit FootRow(QWidget* parent = nullptr);

  // The key button's frame in this widget's coordinates (the key picker opens
  // in line with it); invalid while the button is hidden.
  QRect keyButtonFrame() const;
  QRect tempoKeyFrame() const;

  // --- What to draw ---
  void showKey(const Chords::Key& key);
  void showPickerOpen(bool open);
  void showTempo(int bpm, bool metronome);
  void showState(PadState state);
  void showCount(int countN);
  void showElapsed(int seconds);
  void showPlaying(bool playing);
  void showVolume(double volume);
  void showPinned(bool pinned);
  // A video or audio render runs: its key spins instead of its title.
  void showVideoRendering(bool rendering) { showRendering(Export::video, rendering); }
  void showAudioRendering(bool rendering) { showRendering(Export::audio, rendering); }
  void showRendering(Export which, bool rendering);

  void setExportActions(Export which, FileDragSource::Actions actions);

 signals:
  void keyButtonFrameChanged(QRect frame);
  // The key button or the tempo key moved within the window.
  void framesChanged();

  void keyButtonClicked();
  // A scroll on the key button steps the tonic by semitones.
  void keyShifted(int steps);
  void tempoSet(int bpm);
  void metronomeToggled();
  void playToggled();
  void recordToggled();
  void volumeDragStarted();
  void volumeSet(double volume);
  // `moved` false: the press was a click, which mutes or restores.
  void volumeReleased(bool moved);
  void pinToggled();
  void dropClicked();
  // An export drag session begins or ends.
  void exportDragRunning(bool running);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void relayout();
  void describe();
  KeyCap* makeKey(const char* name);
  void makeTap(KeyCap* key, void (FootRow::*intent)());

  KeyCap* key_;
  KeyCap* tempo_;
  KeyCap* elapsed_;
  KeyCap* play_;
  KeyCap* record_;
  std::array<KeyCap*, 3> exports_{};
  std::array<FileDragSource*, 3> dragSources_{};
  KeyCap* drop_;
  KeyCap* volume_;
  KeyCap* pin_;
  QTimer* spinner_;

  Chords::Key shownKey_;
  int bpm_ = 120;
  bool metronome_ = false;
  PadState state_ = PadState::ready;
  int countN_ = 0;
  int elapsedSeconds_ = 0;
  bool playing_ = false;
  double volumeValue_ = 0.8;
  bool pinned_ = false;
  std::array<bool, 3> rendering_{};  // by Export

  // The value at the press of a tempo or volume drag.
  int bpmAtPress_ = 120;
  double volumeAtPress_ = 0.8;
  QRect lastKeyFrame_;
};

}  // namespace quimbel
