// The tray menu's MIDI items: "Send chords to other programs", the "MIDI
// channel" submenu and "Play the piano too", each a checkable item that the
// MIDI output stores and applies at once; and the delivery of the notes of
// JACK's midi_in to the receive routine, which runs while the sound goes
// through JACK.

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include "app/app_delegate.h"
#include "audio/output_switch.h"

namespace quimbel {

namespace {

// How often JACK's midi_in is looked at while the sound goes through JACK,
// and how often whether it does.
constexpr double kJackMidiPollSeconds = 0.002;

}  // namespace

void AppDelegate::addMidiItems(QMenu& menu) {
  MidiOutput& out = model_->midiOut();
  QAction* send = menu.addAction(QStringLiteral("Send chords to other programs"));
  send->setCheckable(true);
  send->setChecked(out.sending());
  connect(send, &QAction::toggled, this, [this](bool on) { model_->midiOut().setSending(on); });

  // The menu is made afresh at every opening: the previous submenu goes.
  delete menu.findChild<QMenu*>(QStringLiteral("midiChannel"), Qt::FindDirectChildrenOnly);
  QMenu* channels = menu.addMenu(QStringLiteral("MIDI channel"));
  channels->setObjectName(QStringLiteral("midiChannel"));
  auto* group = new QActionGroup(channels);
  for (int channel = 1; channel <= 16; ++channel) {
    QAction* item = channels->addAction(QString::number(channel));
    item->setCheckable(true);
    item->setChecked(channel == out.channel());
    group->addAction(item);
    connect(item, &QAction::triggered, this,
            [this, channel] { model_->midiOut().setChannel(channel); });
  }

  QAction* piano = menu.addAction(QStringLiteral("Play the piano too"));
  piano->setCheckable(true);
  piano->setChecked(out.localPiano());
  connect(piano, &QAction::toggled, this, [this](bool on) { model_->midiOut().setLocalPiano(on); });
  menu.addSeparator();
}

void AppDelegate::followJackMidiIn() {
  // Polled only while the sound runs through JACK: hidden and idle, the
  // program keeps no timer.
  OutputSwitch* outputs = desktop_.outputs;
  const bool onJack =
      outputs && outputs->route() == OutputChoice::Route::jack && model_->engine().running();
  if (!onJack) {
    jackMidiPoll_.reset();
    return;
  }
  if (jackMidiPoll_) return;
  jackMidiPoll_ = mainThread_.every(kJackMidiPollSeconds, [this, outputs] {
    std::uint32_t words[MIDIInput::MaxWordsPerPacket];
    for (;;) {
      const int count = outputs->jack().receivedMidi(words, MIDIInput::MaxWordsPerPacket);
      if (count > 0) model_->midi().receive(std::span<const std::uint32_t>(words, count));
      if (count < static_cast<int>(MIDIInput::MaxWordsPerPacket)) break;
    }
  });
}

}  // namespace quimbel
