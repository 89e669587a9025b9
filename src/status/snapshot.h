#pragma once
// What the status server shows: a plain copy of the bridge's state, taken
// by a StatusSource on the server's own thread.
//
// Threading: plain values; built and read on one thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace status
{
  /// A histogram of latencies in seconds, Prometheus style.
  struct HistogramSnapshot
  {
    std::vector<double> bounds;          ///< upper bounds of the buckets
    std::vector<std::uint64_t> counts;   ///< per bucket, plus one for +Inf
    double sum = 0;                      ///< sum of the observations
    std::uint64_t count = 0;             ///< number of observations
  };

  /// One robot line, in slot order.
  struct RobotStatus
  {
    int slot = 0;                   ///< the robot slot notara's lines name
    std::string host;               ///< host as the configuration gave it
    unsigned port = 0;              ///< TCP port
    std::string state;              ///< "up", "stalled" or "down"
    std::uint64_t queuedBytes = 0;  ///< bytes waiting in the outgoing queue
    std::uint64_t sent = 0;         ///< texts written or queued
    std::uint64_t dropped = 0;      ///< texts dropped (down or queue full)
    std::uint64_t connections = 0;  ///< connections made so far
    double sinceS = 0;              ///< seconds in the present state
    HistogramSnapshot latency;      ///< MIDI event to the text's last byte written
  };

  /// One text an event made for one robot, cut to RecentEvent::textLimit bytes.
  struct RecentText
  {
    int robot = 0;     ///< robot slot
    std::string text;  ///< the text's first bytes
    bool cut = false;  ///< true when the text was longer
  };

  /// One MIDI event of the recent ring.
  struct RecentEvent
  {
    std::uint64_t sequence = 0;  ///< counts events from 1; tells new from seen
    double timeS = 0;            ///< seconds since notara started
    int kind = 0;                ///< the status's high nibble (9 note on, ...)
    int channel = 0;             ///< the status's low nibble
    int data1 = 0;               ///< first data byte
    int data2 = 0;               ///< second data byte
    std::vector<RecentText> texts;  ///< what it sent, in order
    bool textsCut = false;       ///< true when it sent more texts than kept
  };

  /// The configuration file in force.
  struct ConfigStatus
  {
    std::string file;                  ///< the file
    double loadedAtS = 0;              ///< when it was read, seconds since start
    std::uint64_t reloads = 0;         ///< reloads that took effect
    std::optional<std::string> error;  ///< the last reload's error, or none
  };

  /// One MIDI input.
  struct InputStatus
  {
    int index = 0;                    ///< 0 for the first, the clock's
    std::string name;                 ///< the device as the command line or the input line names it
    int channel = -1;                 ///< the channel its channel messages take, or -1
    std::string device;               ///< the device's name as listed, once opened
    std::string state;                ///< "open", "gone" or "closed"
    std::uint64_t received = 0;       ///< messages the MIDI system handed over
    std::uint64_t events = 0;         ///< messages delivered to the dispatch
    std::uint64_t dropped = 0;        ///< messages lost and counted
    std::uint64_t periodsMissed = 0;  ///< periods the input never saw
    std::uint64_t clocksIgnored = 0;  ///< clock messages of an input other than the first
  };

  /// Everything the document, the metrics and the page show.
  struct Snapshot
  {
    std::string version;             ///< notara's version
    double uptimeS = 0;              ///< seconds since start
    std::string midiDevice;          ///< the MIDI input device's name
    bool midiOpen = false;           ///< true while the device is open
    std::uint64_t midiEvents = 0;    ///< messages read
    std::uint64_t midiDropped = 0;   ///< messages lost or refused
    std::uint64_t midiReceived = 0;  ///< messages the MIDI system handed over
    std::uint64_t midiPeriodsMissed = 0;  ///< MIDI system periods the input never saw
    bool clockRunning = false;       ///< between a start and a stop
    std::optional<double> bpm;       ///< the last tempo measured
    std::uint32_t parameter = 0;     ///< the parameter word
    int debug = 0;                   ///< the debug level
    std::vector<RobotStatus> robots; ///< per robot line, in slot order
    std::vector<InputStatus> inputs; ///< every MIDI input, the first first
    std::optional<ConfigStatus> config; ///< none until start-up read it
    HistogramSnapshot latency;       ///< MIDI callback to text written
    std::vector<RecentEvent> recent; ///< the last events, newest last
  };
}
