#pragma once
// Client connections to a Vaxo server.
//
// Threading: each VSyncClient owns one I/O thread. It reads, drains the
// outgoing queue, makes the background connections, and runs every callback
// of that client (tag callbacks, the error callback and the link handler),
// one at a time, in the order things happened, with no library lock held.
// send, sendFile and rawSend may be called from any number of threads at
// once; each call's bytes go out contiguously and whole, and none of them
// waits for the server: what the socket doesn't take at once is queued and
// written by the I/O thread. One lock per client guards its queue and its
// socket: every write to the socket (a sender's own when the queue is
// empty, the I/O thread's of what is queued) and every close happen with
// it held, and each is a non-blocking write, so it is held for a system
// call at most. setCallback and setErrorCallback may be called from any
// thread. The counters and the latency histogram are relaxed atomics,
// readable from any thread without a lock.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vaxo/callback.h"
#include "vaxo/latency_histogram.h"
#include "vaxo/message.h"

/// The native socket handle, as setsockopt takes it (an int off Windows,
/// a SOCKET on Windows); -1 converted when there is no socket.
using VSocketDescriptor = std::uintptr_t;

/// rawSend's result when the text was dropped because the outgoing queue is full.
constexpr int V_SEND_QUEUE_FULL = -2;

/// What happened to the connection of a client that connects in the background.
enum class VLinkEvent
{
  Connected,      ///< a connection was made; the handler's own sends go first on it
  ConnectFailed,  ///< an attempt failed; the detail says why
  Lost            ///< an open connection was closed, reset or broken by a send
};

/// How a background client's outgoing queue treats the texts that wait in it.
struct VQueuePolicy
{
  /// A queued text older than this when its turn comes is dropped (counted
  /// in textsDroppedOld); 0 means no limit. Uploads (rawSendWhole) never age,
  /// nor do assignments when latestValueWins (each is its variable's latest).
  std::chrono::milliseconds maxAge{1000};
  /// When true, a text that only assigns a variable ("name=value,")
  /// replaces a queued assignment to the same variable: the old one is
  /// removed, the new one goes to the end (counted in textsReplaced).
  bool latestValueWins = true;
  /// Bytes the system may hold written but not yet sent (TCP_NOTSENT_LOWAT,
  /// where the system has it; 0 leaves the system's). Bytes the system
  /// holds are out of reach of the two rules above, so they are kept few:
  /// with 1, a write waits until the one before it has gone out.
  int systemUnsentLimit = 1;
};

/// Told about connection events, on the client's I/O thread, no library lock held.
using VLinkHandler = std::function<void(VLinkEvent event, const std::string& detail)>;

/// What every client offers: sending script text and receiving messages.
class VAbstractClient
{
public:
  VAbstractClient();
  virtual ~VAbstractClient();
  VAbstractClient(const VAbstractClient&) = delete;
  VAbstractClient& operator=(const VAbstractClient&) = delete;

  /// Formats like printf and sends the text unchanged; returns 0 on success,
  /// -1 when the text could not be sent (not connected, connection lost).
#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  int send(const char* format, ...);

  /// Sends the bytes of the file at `path`, unchanged, as script text,
  /// through rawSendWhole (an upload is never cut by the queue's bound);
  /// returns 0 on success, -1 when the file can't be read (reported on
  /// standard error) or the bytes could not be sent.
  int sendFile(const std::string& path);

  /// Sends `size` bytes as they are. Safe from several threads at once;
  /// each call's bytes are contiguous on the wire and go out whole or not
  /// at all. Never raises SIGPIPE and never waits for the server.
  /// Returns 0 when the bytes were written or queued, V_SEND_QUEUE_FULL
  /// when the outgoing queue had no room for them, -1 when they were
  /// dropped otherwise (not connected, connection lost).
  virtual int rawSend(const void* data, std::size_t size) = 0;

  /// Like rawSend, but queues the bytes whole whatever the queue's bound:
  /// for uploads, which the caller keeps few.
  virtual int rawSendWhole(const void* data, std::size_t size);

  /// Registers `callback` (the client takes ownership) for messages whose
  /// tag equals `tag` byte for byte, after those already registered for it.
  /// May be called from a callback; the new one sees the next message.
  void setCallback(VCallbackWrapper* callback, const std::string& tag);

  /// Registers `callback` (the client takes ownership) for error messages
  /// and for the faults the client itself reports, replacing (and deleting)
  /// the one registered before. Without one, reports go to standard error.
  void setErrorCallback(VCallbackWrapper* callback);

  /// The connection's socket, for setsockopt.
  virtual VSocketDescriptor socketDescriptor() const = 0;

protected:
  /// Hands one message to the callbacks it is for (tag callbacks for data,
  /// the error callback for errors, none for system messages). Called on
  /// the reader thread, with no lock of the library held while a callback
  /// runs. An exception from a tag callback is reported to the error
  /// callback ("callback for tag \"T\" threw: ..."); one from the error
  /// callback goes to standard error.
  void deliver(const VMessage& msg);

private:
  struct Callbacks;
  std::unique_ptr<Callbacks> callbacks_;
};

/// A client connected over TCP, with its own I/O thread and a bounded
/// outgoing queue.
class VSyncClient : public VAbstractClient
{
public:
  /// The default bound of the outgoing queue, in bytes (1 MiB).
  static constexpr std::size_t defaultQueueLimit = 1048576;

  /// Connects to `host`:`port`, blocking the caller up to the time-out.
  /// - readBufferSize: bytes read from the socket at a time (128000 is usual;
  ///   0 means 128000);
  /// - traceWire: when true, every line received is echoed to standard error;
  /// - startReader: when true, the reader thread starts at once; otherwise
  ///   call start() after registering the callbacks;
  /// - connectTimeout: seconds to wait for the connection; 0 or less leaves
  ///   the time-out to the system.
  /// A server that can't be reached gives one line on standard error; the
  /// client stays usable and drops what is sent. A connection it loses is
  /// reported as "connection closed" and not made again.
  VSyncClient(const std::string& host, unsigned port, unsigned readBufferSize = 128000,
              bool traceWire = false, bool startReader = true, int connectTimeout = 2);

  /// A client that connects in the background: nothing happens until
  /// connect(); `handler` hears of every attempt and every lost connection
  /// (no "connection closed" report, no line on standard error), and
  /// reading starts by itself on each connection. `queueLimit` bounds the
  /// outgoing queue in bytes; `connectTimeout` is in seconds and covers the
  /// name's resolution and the connection together; `policy` says how
  /// queued texts age and are replaced. Texts other threads send while the
  /// handler makes its first sends on a new connection wait and follow them.
  VSyncClient(const std::string& host, unsigned port, VLinkHandler handler,
              std::size_t queueLimit = defaultQueueLimit, int connectTimeout = 2,
              VQueuePolicy policy = VQueuePolicy());

  /// Closes the connection and joins the I/O thread; reports nothing.
  /// Must not run on this client's own I/O thread (in one of its
  /// callbacks), and waits for a running callback to finish.
  ~VSyncClient() override;

  /// Starts reading, if not started yet and connected.
  void start();
  /// Starts a connection attempt after `delay` (background clients only);
  /// ignored while connected or while an attempt is under way.
  void connect(std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  /// True while the connection is open.
  bool isConnected() const;

  /// Texts dropped because the outgoing queue was full, since construction.
  std::uint64_t textsDroppedQueueFull() const;
  /// Texts dropped because there was no open connection, since construction.
  std::uint64_t textsDroppedDisconnected() const;
  /// From now on, and until flushHeldSends on the same thread, a text this
  /// thread sends to a client with nothing queued is queued, not written:
  /// for a thread with more texts in hand, so that each client gets them in
  /// one write. A client with texts queued already is unaffected (its I/O
  /// thread writes them). Per thread; no lock.
  static void holdSends();
  /// Ends the calling thread's hold and writes, on this thread, what each
  /// client it held texts for has queued (one non-blocking write each; the
  /// client's I/O thread writes what the socket doesn't take). A client
  /// destroyed during the hold is skipped: its held texts were dropped.
  static void flushHeldSends();
  /// The texts this thread sends from now on were made at `made` (say, when
  /// the MIDI event they answer arrived): their age and write latency count
  /// from then. A default time point goes back to the time of each send.
  /// Per thread; no lock.
  static void stampSends(std::chrono::steady_clock::time_point made);
  /// Texts dropped because they were older than the age limit when their
  /// turn came, since construction.
  std::uint64_t textsDroppedOld() const;
  /// Queued assignments replaced by a later one to the same variable, since
  /// construction.
  std::uint64_t textsReplaced() const;
  /// Time from each text's making (its send call, or the time stampSends
  /// gave) to its last byte written to the socket, for texts written since
  /// construction.
  const VLatencyHistogram& writeLatency() const;
  /// The age limit of the outgoing queue (0: none).
  std::chrono::milliseconds maxAge() const;
  /// Bytes waiting in the outgoing queue; reads one relaxed atomic and
  /// takes no lock, so any thread may ask at any time.
  std::size_t queuedBytes() const;

  int rawSend(const void* data, std::size_t size) override;
  int rawSendWhole(const void* data, std::size_t size) override;
  /// The connection's state and thread (opaque outside the library).
  struct Impl;
  /// The connection's socket, or -1 converted while there is no open connection.
  VSocketDescriptor socketDescriptor() const override;

protected:
  /// An unconnected client, for subclasses that send elsewhere (in-memory
  /// clients of tests and benchmarks override rawSend).
  struct Unconnected {};
  explicit VSyncClient(Unconnected);

private:
  // Shared only with the weak references of threads that hold sends
  // (holdSends), so that a flush after the client is gone finds nothing.
  std::shared_ptr<Impl> impl_;
};
