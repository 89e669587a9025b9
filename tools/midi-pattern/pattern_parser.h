#pragma once
// The pattern file format of midi-pattern: one command per line, time
// advanced only by "wait", the clock generated while it runs. The format
// is described in patternFormatText() and at the top of examples/pattern.txt.
//
// Threading: one thread at a time per object; no callbacks, no locks.
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "midi-pattern/pattern.h"

namespace midipattern
{
  /// Turns pattern file lines into a Pattern; bad lines are reported and skipped.
  class PatternParser
  {
  public:
    /// Longest pattern accepted, in microseconds (one hour).
    static constexpr std::int64_t maxLengthMicros = 3600LL * 1000 * 1000;
    /// Most events accepted, so that a long clock can't exhaust memory.
    static constexpr std::size_t maxEvents = 1000000;

    /// With `fixedTempo`, tempo lines are checked but the pattern plays at that tempo.
    explicit PatternParser(std::optional<double> fixedTempo = std::nullopt);

    /// Parses the next line of the file (without its line break).
    void parseLine(std::string_view line);
    /// Ends the pattern: orders its events and returns it.
    Pattern finish();
    /// One message per line that could not be used, in line order.
    const std::vector<std::string>& errors() const { return errors_; }

    /// Parses a whole stream; `errors` receives the messages.
    static Pattern parse(std::istream& in, std::vector<std::string>& errors,
                         std::optional<double> fixedTempo = std::nullopt);

  private:
    enum class Clock
    {
      halted,
      running
    };

    using Words = std::vector<std::string_view>;

    // Each returns false after reporting what was wrong with the line.
    bool tempo(const Words& words);
    bool wait(const Words& words);
    bool note(const Words& words);
    bool noteOn(const Words& words);
    bool noteOff(const Words& words);
    bool control(const Words& words);
    bool sweep(const Words& words);
    bool clock(const Words& words);
    bool start(const Words& words);
    bool stop(const Words& words);
    bool say(const Words& words);

    bool argumentCount(const Words& words, std::size_t least, std::size_t most, const char* usage);
    std::optional<int> integer(std::string_view word, int least, int most, const char* what);
    // `range` says in words what `least` and `most` allow, e.g. "above 0".
    std::optional<double> number(std::string_view word, double least, double most, const char* what,
                                 const char* range);
    // The time `beats` from now, or nothing (reported) when past the longest pattern.
    std::optional<double> later(double beats);
    void message(double micros, std::uint8_t status, int data1, int data2, std::uint8_t size);
    void fail(const std::string& why);
    double beatMicros() const { return 60e6 / tempo_; }

    std::optional<double> fixedTempo_;
    double tempo_ = 120;
    double now_ = 0;  // microseconds; double, so a long run of beats does not drift
    Clock clock_ = Clock::halted;
    double nextClock_ = 0;
    int lineNumber_ = 0;
    std::string_view lineText_;
    bool tooMany_ = false;
    Pattern pattern_;
    std::vector<std::string> errors_;
  };

  /// The pattern format, as midi-pattern --help shows it.
  std::string patternFormatText();
}
