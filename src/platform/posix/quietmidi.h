#pragma once
// The one place that keeps libasound's and libjack's complaints (a missing
// sequencer, no server) off standard error, and asks the ALSA sequencer
// quietly whether it answers. The MIDI layer, the tests' JACK source and the
// rehearsal's pattern player all use it.
//
// Threading: call from any thread; quietMidiLibraries sets the libraries'
// process-wide handlers, so call it before the first client is made.
namespace notara::platform
{
  /// Sends the ALSA and JACK libraries' error and information messages nowhere.
  void quietMidiLibraries();

  /// True when the ALSA sequencer can be opened (and closes it again). RtMidi
  /// reports a missing sequencer on standard error from inside its
  /// constructor, before an error callback can be set, so ask this first.
  bool alsaSequencerAnswers();
}
