#pragma once
// A song as a Standard MIDI File holds it: the channel messages of every
// track merged in time order, the tempo map and the time signatures, all in
// ticks of the file's division.
//
// Threading: a plain value; const members may be called from any thread.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace midifile
{
  /// One channel message at its tick.
  struct SongEvent
  {
    std::uint64_t tick = 0;              ///< ticks from the start of the song
    std::array<std::uint8_t, 3> bytes{}; ///< status and data bytes
    std::uint8_t size = 0;               ///< 2 or 3
    std::uint16_t track = 0;             ///< track it came from, counted from 1
  };

  /// A tempo from its tick on.
  struct TempoChange
  {
    std::uint64_t tick = 0;                 ///< where it takes effect
    std::uint32_t microsPerQuarter = 500000; ///< length of a quarter note
  };

  /// A time signature from its tick on; its tick starts a bar.
  struct TimeSignature
  {
    std::uint64_t tick = 0;     ///< where it takes effect
    unsigned numerator = 4;     ///< beats per bar
    unsigned denominator = 4;   ///< note value of a beat (1, 2, 4, 8, ... 64)
  };

  /// A place in the song as musicians count it.
  struct BarBeat
  {
    std::uint64_t bar = 1;  ///< counted from 1
    double beat = 1;        ///< counted from 1, with the fraction of a beat
  };

  /// A whole song, ready to play or render.
  class Song
  {
  public:
    /// File format: 0 or 1.
    int format = 0;
    /// Ticks per quarter note.
    unsigned division = 96;
    /// Channel messages of every track, by tick; equal ticks keep track
    /// order, then file order.
    std::vector<SongEvent> events;
    /// Tempo changes by tick; the first is at tick 0 (120 beats a minute
    /// when the file names none there).
    std::vector<TempoChange> tempos;
    /// Time signatures by tick; the first is at tick 0 (4/4 by default).
    std::vector<TimeSignature> signatures;
    /// The tick of the last track's end.
    std::uint64_t endTick = 0;

    /// Seconds from the start to `tick` (a fraction of a tick allowed),
    /// following the tempo map.
    double secondsAt(double tick) const;
    /// The tick at `seconds` from the start, following the tempo map.
    double tickAt(double seconds) const;
    /// Bar and beat of `tick`, following the time signatures.
    BarBeat barBeatAt(double tick) const;
    /// "BAR:BEAT" with the beat to two decimals, e.g. "5:2.50".
    std::string barBeatText(double tick) const;
  };
}
