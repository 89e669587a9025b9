#pragma once
// notara --render: a song file through the configuration's actions, with
// no MIDI device, no MIDI server and no robot. The bridge object is the one
// a start builds, with this renderer as its text sink and its clock: each
// message of the song goes to Midi::onMessage, the same dispatch the MIDI
// thread runs, and each text it sends is written out with the song time.
//
// Threading: the main thread only; nothing else runs.
#include <cstdint>
#include <iosfwd>
#include <string>

#include "bridge/text_sink.h"
#include "bridge/time_source.h"
#include "midifile/song_cursor.h"

namespace midifile
{
  class Song;
}

/// Renders one song through one configuration.
class SongRenderer : public TextSink, public TimeSource
{
public:
  /// The first line of every render: what it can't show.
  static const char* const unknownActionsNote;

  /// Writes to `out`, one JSON object per line with `json`.
  SongRenderer(std::ostream& out, bool json);

  /// Reads `songFile` and `confFile` and renders; `clock` also feeds the
  /// clock, start and stop as midi-pattern --clock sends them. 0 when done;
  /// 2 for a configuration that can't be loaded (as --check reports it); 3
  /// for a song file that can't be read (one line naming the file, the
  /// track and the byte offset). Ends with the operations installed still
  /// alive, as a start does.
  int run(const std::string& songFile, const std::string& confFile, bool clock, const char* program);

  /// Writes one line per robot of the mask that the configuration opened.
  void send(int robotMask, const std::string& text) override;
  /// The song time of the message being dispatched, plus one second.
  std::int64_t microseconds() override;

private:
  std::ostream& out_;
  bool json_;
  const midifile::Song* song_ = nullptr;
  midifile::SongMessage current_;
  std::uint32_t robotSlots_ = 0;  // the robot slots the configuration opened
};
