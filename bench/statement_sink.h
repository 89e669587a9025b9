#pragma once
// A robot stand-in for benchmarks: a loopback TCP server that accepts a
// fixed number of connections and, on each, checks the expected upload,
// then counts the statements that follow and stamps each with the time at
// which the read holding its last byte returned.
//
// Statements are the texts notara sends: they end with a ',' outside
// parentheses. A statement of the form "...(kind,slot,data1,data2)," carries
// a sequence number data1 + 128 * data2; statement i must carry i modulo
// sequenceModulus, so a lost, doubled or reordered event shows.
//
// With several streams, the slot field says which stream a statement
// belongs to: statement i of stream s (the i-th whose slot is s) must carry
// i modulo sequenceModulus, whatever came between it and the one before from
// other streams. Sources that each number their own events (one MIDI channel
// each) are checked that way, each in its own order and complete, while the
// order across them is the order of arrival.
//
// Threading: each connection has a reader thread of its own, blocked in a
// plain blocking read so that the stamp is taken as soon as the bytes are
// there. The readers run no callbacks and take no lock; counts are atomics.
// Every public method may be called from any thread.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace notara::bench
{
  /// Loopback server that timestamps every statement it receives.
  class StatementSink
  {
  public:
    /// Sequence numbers count modulo this (two 7-bit data bytes).
    static constexpr std::size_t sequenceModulus = 16384;

    /// Listens on 127.0.0.1 (a port the system picks) for `connections`
    /// connections, each of which must start with `prefix` (the upload);
    /// keeps the arrival times of the first `capacity` statements of each;
    /// with `streams` above 1, of the first `capacity` of each stream (slots
    /// 0 to streams - 1; a statement of any other slot is a misfit).
    StatementSink(std::size_t connections, std::string prefix, std::size_t capacity, std::size_t streams = 1);
    /// Shuts every connection down and joins the readers.
    ~StatementSink();
    StatementSink(const StatementSink&) = delete;
    StatementSink& operator=(const StatementSink&) = delete;

    /// Nanoseconds on the steady clock, the clock of every stamp.
    static std::int64_t now();
    /// The sequence number of "...(k,s,data1,data2)", or -1 for other text.
    static long sequenceOf(const char* text, std::size_t size);
    /// The slot s of "...(k,s,data1,data2)", or -1 for other text.
    static long slotOf(const char* text, std::size_t size);

    /// The port it listens on.
    unsigned port() const;
    /// Accepts the connections (in slot order when the peer connects them
    /// one after the other) and starts their readers; false on time-out.
    bool acceptAll(std::chrono::milliseconds timeout);

    /// True once connection `c` received its whole upload, and nothing else
    /// in its place.
    bool prefixDone(std::size_t c) const;
    /// Waits until every connection received its upload.
    bool waitForPrefixes(std::chrono::milliseconds timeout) const;
    /// True when some connection's first bytes differed from the upload.
    bool prefixMismatch() const;

    /// Statements connection `c` received after its upload.
    std::size_t statements(std::size_t c) const;
    /// Waits until connection `c` received `count` statements.
    bool waitForStatements(std::size_t c, std::size_t count, std::chrono::milliseconds timeout) const;
    /// Waits until every connection received `count` statements.
    bool waitForAll(std::size_t count, std::chrono::milliseconds timeout) const;
    /// Arrival time of statement `i` of connection `c` (i below statements(c)
    /// and the capacity).
    std::int64_t arrival(std::size_t c, std::size_t i) const;
    /// The number of streams.
    std::size_t streams() const;
    /// Statements of stream `s` that connection `c` received.
    std::size_t statements(std::size_t c, std::size_t s) const;
    /// Arrival time of statement `i` of stream `s` on connection `c` (i below
    /// statements(c, s) and the capacity).
    std::int64_t arrival(std::size_t c, std::size_t s, std::size_t i) const;
    /// Statements of connection `c` whose sequence number was not the expected one
    /// (in their stream), or that belong to no stream.
    std::size_t misfits(std::size_t c) const;
    /// The first such statement of connection `c`, and its index, for a report.
    std::string firstMisfit(std::size_t c) const;
    /// True once the peer of connection `c` closed it.
    bool peerClosed(std::size_t c) const;

  private:
    struct Connection;
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };
}
