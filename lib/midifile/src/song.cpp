#include "midifile/song.h"

#include <cmath>
#include <cstdio>

namespace midifile
{
  namespace
  {
    // Ticks of one beat of `signature` (a quarter note is `division` ticks).
    double beatTicks(const TimeSignature& signature, unsigned division)
    {
      return double(division) * 4.0 / double(signature.denominator);
    }
  }

  double Song::secondsAt(double tick) const
  {
    double micros = 0;
    double from = 0;
    std::uint32_t tempo = 500000;
    for (const TempoChange& change : tempos)
    {
      if (double(change.tick) >= tick)
        break;
      micros += (double(change.tick) - from) * tempo / division;
      from = double(change.tick);
      tempo = change.microsPerQuarter;
    }
    micros += (tick - from) * tempo / division;
    return micros / 1e6;
  }

  double Song::tickAt(double seconds) const
  {
    const double wanted = seconds * 1e6;
    double micros = 0;
    double from = 0;
    std::uint32_t tempo = 500000;
    for (const TempoChange& change : tempos)
    {
      const double next = micros + (double(change.tick) - from) * tempo / division;
      if (next > wanted)
        break;
      micros = next;
      from = double(change.tick);
      tempo = change.microsPerQuarter;
    }
    return from + (wanted - micros) * division / tempo;
  }

  BarBeat Song::barBeatAt(double tick) const
  {
    // Each signature starts a bar; the bars before it are its predecessor's
    // whole bars, a last partial one counted as a bar.
    std::uint64_t bar = 1;
    TimeSignature current;
    for (const TimeSignature& signature : signatures)
    {
      if (double(signature.tick) > tick)
        break;
      if (signature.tick > current.tick)
      {
        const double barTicks = beatTicks(current, division) * current.numerator;
        bar += static_cast<std::uint64_t>(std::ceil(double(signature.tick - current.tick) / barTicks));
      }
      current = signature;
    }
    // Rounded to a millionth of a beat, so that a clock's tick a hair below
    // a beat in floating point still counts as on it.
    const double beats = std::round((tick - double(current.tick)) / beatTicks(current, division) * 1e6) / 1e6;
    const double bars = std::floor(beats / current.numerator);
    return {bar + static_cast<std::uint64_t>(bars), beats - bars * current.numerator + 1};
  }

  std::string Song::barBeatText(double tick) const
  {
    const BarBeat place = barBeatAt(tick);
    char beat[32];
    std::snprintf(beat, sizeof beat, "%.2f", place.beat);
    return std::to_string(place.bar) + ':' + beat;
  }
}
