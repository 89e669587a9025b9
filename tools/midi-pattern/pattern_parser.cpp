#include "midi-pattern/pattern_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace midipattern
{
  namespace
  {
    constexpr int clocksPerBeat = 24;
    // Half a microsecond: a clock due at the very end of a wait belongs to
    // the next moment, whatever the rounding of the beat arithmetic.
    constexpr double timeSlack = 0.5;

    bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

    // Splits a line into words; a '#' that starts a word starts a comment.
    std::vector<std::string_view> splitWords(std::string_view line)
    {
      enum class State
      {
        blank,
        word,
        comment
      };
      std::vector<std::string_view> words;
      State state = State::blank;
      std::size_t begin = 0;
      for (std::size_t i = 0; i < line.size() && state != State::comment; ++i)
      {
        const char c = line[i];
        switch (state)
        {
        case State::blank:
          if (c == '#')
            state = State::comment;
          else if (!isBlank(c))
          {
            begin = i;
            state = State::word;
          }
          break;
        case State::word:
          if (isBlank(c))
          {
            words.push_back(line.substr(begin, i - begin));
            state = State::blank;
          }
          break;
        case State::comment:
          break;
        }
      }
      if (state == State::word)
        words.push_back(line.substr(begin));
      return words;
    }

  }

  PatternParser::PatternParser(std::optional<double> fixedTempo) : fixedTempo_(fixedTempo)
  {
    if (fixedTempo_)
      tempo_ = *fixedTempo_;
  }

  void PatternParser::parseLine(std::string_view line)
  {
    ++lineNumber_;
    lineText_ = line;
    const Words words = splitWords(line);
    if (words.empty())
      return;

    const std::string_view command = words[0];
    if (command == "tempo")
      tempo(words);
    else if (command == "wait")
      wait(words);
    else if (command == "note")
      note(words);
    else if (command == "on")
      noteOn(words);
    else if (command == "off")
      noteOff(words);
    else if (command == "cc")
      control(words);
    else if (command == "sweep")
      sweep(words);
    else if (command == "clock")
      clock(words);
    else if (command == "start")
      start(words);
    else if (command == "stop")
      stop(words);
    else if (command == "say")
      say(words);
    else
      fail("unknown command '" + std::string(command) +
           "' (tempo, wait, note, on, off, cc, sweep, clock, start, stop, say)");
  }

  Pattern PatternParser::finish()
  {
    pattern_.setLengthMicros(std::max<std::int64_t>(pattern_.lengthMicros(), std::llround(now_)));
    pattern_.sortByTime();
    Pattern done = std::move(pattern_);
    pattern_ = Pattern();
    return done;
  }

  Pattern PatternParser::parse(std::istream& in, std::vector<std::string>& errors,
                               std::optional<double> fixedTempo)
  {
    PatternParser parser(fixedTempo);
    for (std::string line; std::getline(in, line);)
      parser.parseLine(line);
    errors = parser.errors();
    return parser.finish();
  }

  bool PatternParser::tempo(const Words& words)
  {
    if (!argumentCount(words, 1, 1, "tempo BPM"))
      return false;
    const std::optional<double> bpm = number(words[1], 1, 1000, "tempo", "from 1 to 1000");
    if (!bpm)
      return false;
    if (!fixedTempo_)
      tempo_ = *bpm;
    return true;
  }

  bool PatternParser::wait(const Words& words)
  {
    if (!argumentCount(words, 1, 1, "wait BEATS"))
      return false;
    const std::optional<double> beats = number(words[1], 0, 1e12, "number of beats", "0 or more");
    if (!beats)
      return false;
    const std::optional<double> end = later(*beats);
    if (!end)
      return false;
    // The clock runs during waits only: that is the only time that passes.
    if (clock_ == Clock::running)
    {
      const double interval = beatMicros() / clocksPerBeat;
      while (nextClock_ < *end - timeSlack && !tooMany_)
      {
        message(nextClock_, 0xF8, 0, 0, 1);
        nextClock_ += interval;
      }
    }
    now_ = *end;
    return true;
  }

  bool PatternParser::note(const Words& words)
  {
    if (!argumentCount(words, 4, 4, "note CHANNEL NOTE VELOCITY BEATS"))
      return false;
    const auto channel = integer(words[1], 0, 15, "channel");
    const auto key = integer(words[2], 0, 127, "note");
    const auto velocity = integer(words[3], 1, 127, "velocity");
    const auto beats = number(words[4], 1e-6, 1e12, "length in beats", "above 0");
    if (!channel || !key || !velocity || !beats)
      return false;
    const std::optional<double> end = later(*beats);
    if (!end)
      return false;
    message(now_, static_cast<std::uint8_t>(0x90 | *channel), *key, *velocity, 3);
    message(*end, static_cast<std::uint8_t>(0x80 | *channel), *key, 0, 3);
    return true;
  }

  bool PatternParser::noteOn(const Words& words)
  {
    if (!argumentCount(words, 3, 3, "on CHANNEL NOTE VELOCITY"))
      return false;
    const auto channel = integer(words[1], 0, 15, "channel");
    const auto key = integer(words[2], 0, 127, "note");
    const auto velocity = integer(words[3], 0, 127, "velocity");
    if (!channel || !key || !velocity)
      return false;
    message(now_, static_cast<std::uint8_t>(0x90 | *channel), *key, *velocity, 3);
    return true;
  }

  bool PatternParser::noteOff(const Words& words)
  {
    if (!argumentCount(words, 2, 3, "off CHANNEL NOTE [VELOCITY]"))
      return false;
    const auto channel = integer(words[1], 0, 15, "channel");
    const auto key = integer(words[2], 0, 127, "note");
    const auto velocity = words.size() > 3 ? integer(words[3], 0, 127, "velocity") : std::optional<int>(0);
    if (!channel || !key || !velocity)
      return false;
    message(now_, static_cast<std::uint8_t>(0x80 | *channel), *key, *velocity, 3);
    return true;
  }

  bool PatternParser::control(const Words& words)
  {
    if (!argumentCount(words, 3, 3, "cc CHANNEL CONTROLLER VALUE"))
      return false;
    const auto channel = integer(words[1], 0, 15, "channel");
    const auto controller = integer(words[2], 0, 127, "controller");
    const auto value = integer(words[3], 0, 127, "value");
    if (!channel || !controller || !value)
      return false;
    message(now_, static_cast<std::uint8_t>(0xB0 | *channel), *controller, *value, 3);
    return true;
  }

  bool PatternParser::sweep(const Words& words)
  {
    if (!argumentCount(words, 5, 6, "sweep CHANNEL CONTROLLER FROM TO BEATS [STEP]"))
      return false;
    const auto channel = integer(words[1], 0, 15, "channel");
    const auto controller = integer(words[2], 0, 127, "controller");
    const auto from = integer(words[3], 0, 127, "start value");
    const auto to = integer(words[4], 0, 127, "end value");
    const auto beats = number(words[5], 0, 1e12, "length in beats", "0 or more");
    const auto step = words.size() > 6 ? integer(words[6], 1, 127, "step") : std::optional<int>(1);
    if (!channel || !controller || !from || !to || !beats || !step)
      return false;
    if (!later(*beats))
      return false;

    std::vector<int> values;
    const int direction = *to >= *from ? 1 : -1;
    for (int v = *from; direction * (*to - v) >= 0; v += direction * *step)
      values.push_back(v);
    // The sweep always ends on its end value, even when the step skips it.
    if (values.back() != *to)
      values.push_back(*to);

    const double spacing = values.size() > 1 ? *beats * beatMicros() / double(values.size() - 1) : 0;
    const auto status = static_cast<std::uint8_t>(0xB0 | *channel);
    for (std::size_t i = 0; i < values.size(); ++i)
      message(now_ + spacing * double(i), status, *controller, values[i], 3);
    return true;
  }

  bool PatternParser::clock(const Words& words)
  {
    if (!argumentCount(words, 1, 1, "clock on|off"))
      return false;
    if (words[1] == "on")
    {
      if (clock_ == Clock::halted)
        nextClock_ = now_;
      clock_ = Clock::running;
    }
    else if (words[1] == "off")
      clock_ = Clock::halted;
    else
    {
      fail("clock takes on or off, not '" + std::string(words[1]) + "'");
      return false;
    }
    return true;
  }

  bool PatternParser::start(const Words& words)
  {
    if (!argumentCount(words, 0, 0, "start"))
      return false;
    // Start goes out before the first clock of the same moment.
    message(now_, 0xFA, 0, 0, 1);
    if (clock_ == Clock::halted)
      nextClock_ = now_;
    clock_ = Clock::running;
    return true;
  }

  bool PatternParser::stop(const Words& words)
  {
    if (!argumentCount(words, 0, 0, "stop"))
      return false;
    message(now_, 0xFC, 0, 0, 1);
    clock_ = Clock::halted;
    return true;
  }

  bool PatternParser::say(const Words& words)
  {
    if (!argumentCount(words, 1, SIZE_MAX, "say TEXT"))
      return false;
    PatternEvent event;
    event.micros = std::llround(now_);
    event.line = lineNumber_;
    for (std::size_t i = 1; i < words.size(); ++i)
    {
      if (i > 1)
        event.caption += ' ';
      event.caption += words[i];
    }
    if (pattern_.events().size() >= maxEvents)
    {
      if (!tooMany_)
        fail("more than " + std::to_string(maxEvents) + " events; the rest of the pattern is dropped");
      tooMany_ = true;
      return false;
    }
    pattern_.add(std::move(event));
    return true;
  }

  bool PatternParser::argumentCount(const Words& words, std::size_t least, std::size_t most,
                                    const char* usage)
  {
    const std::size_t given = words.size() - 1;
    if (given >= least && given <= most)
      return true;
    fail("expected '" + std::string(usage) + "', got " + std::to_string(given) +
         (given == 1 ? " argument" : " arguments"));
    return false;
  }

  std::optional<int> PatternParser::integer(std::string_view word, int least, int most, const char* what)
  {
    int value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || value < least || value > most)
    {
      fail(std::string("bad ") + what + " '" + std::string(word) + "' (a whole number from " +
           std::to_string(least) + " to " + std::to_string(most) + ")");
      return std::nullopt;
    }
    return value;
  }

  std::optional<double> PatternParser::number(std::string_view word, double least, double most,
                                              const char* what, const char* range)
  {
    double value = 0;
    const auto [end, error] =
      std::from_chars(word.data(), word.data() + word.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(value) ||
        value < least || value > most)
    {
      fail(std::string("bad ") + what + " '" + std::string(word) + "' (a number " + range + ")");
      return std::nullopt;
    }
    return value;
  }

  std::optional<double> PatternParser::later(double beats)
  {
    const double end = now_ + beats * beatMicros();
    if (end > double(maxLengthMicros))
    {
      fail("the pattern would last longer than " + std::to_string(maxLengthMicros / 1000000) +
           " seconds");
      return std::nullopt;
    }
    return end;
  }

  void PatternParser::message(double micros, std::uint8_t status, int data1, int data2, std::uint8_t size)
  {
    if (pattern_.events().size() >= maxEvents)
    {
      if (!tooMany_)
        fail("more than " + std::to_string(maxEvents) + " events; the rest of the pattern is dropped");
      tooMany_ = true;
      return;
    }
    PatternEvent event;
    event.micros = std::llround(micros);
    event.bytes = {status, static_cast<std::uint8_t>(data1), static_cast<std::uint8_t>(data2)};
    event.size = size;
    event.line = lineNumber_;
    pattern_.add(event);
  }

  void PatternParser::fail(const std::string& why)
  {
    errors_.push_back("PatternParser::parseLine: line " + std::to_string(lineNumber_) + ": " + why +
                      ": " + std::string(lineText_));
  }

  std::string patternFormatText()
  {
    return R"(Pattern file: one command per line; words are separated by blanks; a word
starting with # starts a comment that runs to the end of the line. Channels
are 0 to 15 (as in notara's channel masks), notes, controllers, values and
velocities 0 to 127. BEATS is a number of beats (quarter notes) at the
current tempo, such as 1, 0.5 or 0.25. Only "wait" lets time pass; "note"
and "sweep" schedule their later messages and return at once, so they
overlap what follows.

  tempo BPM                 beats per minute, 1 to 1000 (default 120), for
                            the beats that follow and for the clock
  wait BEATS                let BEATS pass; while the clock runs, 24 clock
                            messages (0xF8) go out per beat
  note CH NOTE VEL BEATS    note on now (VEL 1 to 127), note off BEATS later
  on CH NOTE VEL            note on now; VEL 0 is a note on with velocity 0
  off CH NOTE [VEL]         note off now (velocity 0 unless given)
  cc CH CTRL VALUE          control change now
  sweep CH CTRL FROM TO BEATS [STEP]
                            control changes from FROM to TO in steps of STEP
                            (default 1), spread evenly over BEATS, the first
                            now and the last (always TO) BEATS later
  start                     MIDI start (0xFA) now, then the clock runs
  stop                      MIDI stop (0xFC) now, and the clock halts
  clock on|off              let the clock run or halt it, without start or stop
  say TEXT                  print TEXT when playing reaches this point

Messages due at the same moment go out in the order of their lines. A bad
line is reported with its number and nothing is played.
)";
  }
}
