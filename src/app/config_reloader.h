#pragma once
// Reading the configuration again while notara runs: on a request (a SIGHUP
// that another process sent, or "reload" on standard input) the file and
// notara.vx are read into a staging bridge, as --check reads them, and
// only if that succeeds does the running bridge take the new action tables
// and robot lines. Robots whose line and notara.vx are unchanged keep their
// connection, queue and registrations; changed and added ones connect
// afresh; removed ones are closed. The parameter word, the debug level and
// the clock stay as they are.
//
// Threading: request may be called from any thread (the signal watcher's,
// the standard input reader's); it only wakes the reloader's own thread,
// which does the reading and the change, one request at a time, never on
// the MIDI thread. view may be called from any thread; it takes the
// reloader's mutex, which neither the MIDI thread nor a robot link takes.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class Midi;

/// What the status shows of the configuration.
struct ConfigView
{
  std::string file;                  ///< the configuration file
  double loadedAtS = 0;              ///< when the running one was read, seconds since the start
  std::uint64_t reloads = 0;         ///< reloads that took effect
  std::optional<std::string> error;  ///< the last reload's error, or none
};

/// Reloads the configuration of a running bridge on request.
class ConfigReloader
{
public:
  /// For `midi`, whose configuration `confFile` was read at start-up
  /// `startUs` microseconds into the process (libgantry::utime).
  ConfigReloader(Midi& midi, std::string confFile, std::int64_t startUs);
  /// Never runs in notara, which doesn't end by returning; ends the thread.
  ~ConfigReloader();
  ConfigReloader(const ConfigReloader&) = delete;
  ConfigReloader& operator=(const ConfigReloader&) = delete;

  /// Starts the reloader's thread; with `readInput`, also a thread that
  /// reads commands ("reload") from standard input until it ends.
  void start(bool readInput);
  /// Asks for a reload; requests that come while one runs make one more.
  void request();
  /// The configuration's file, load time, reload count and last error.
  ConfigView view() const;

private:
  // The reloader's thread: serveRequests, again after a failure.
  void run();
  // Reloads on each request; true once the reloader is stopping.
  bool serveRequests();
  // Reports a reload that failed with an exception (`cause`), keeps the
  // line as the last error, and pauses.
  void failed(const char* cause) noexcept;
  // The standard input reader's thread: readUntilEnd, again after a failure.
  void readCommands();
  // Takes "reload" and reports other words, until standard input ends.
  void readUntilEnd();
  void reloadOnce();

  Midi& midi_;
  const std::int64_t startUs_;
  std::string notaraVx_;  // reloader's thread only: the text the robots got
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
  bool stopping_ = false;
  ConfigView view_;
  std::thread thread_;
};
