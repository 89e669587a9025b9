#pragma once
// Client connections to a Vaxo server.
//
// Threading: each connected client owns one reader thread. Every callback of
// that client (tag callbacks and the error callback) runs on it, one at a
// time, in the order the lines arrived, with no library lock held.
// send, sendFile and rawSend may be called from any number of threads at
// once; each call's bytes go out contiguously. setCallback and
// setErrorCallback may be called from any thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "vaxo/callback.h"
#include "vaxo/message.h"

/// The native socket handle, as setsockopt takes it (an int off Windows,
/// a SOCKET on Windows); -1 converted when there is no socket.
using VSocketDescriptor = std::uintptr_t;

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

  /// Sends the bytes of the file at `path`, unchanged, as script text;
  /// returns 0 on success, -1 when the file can't be read (reported on
  /// standard error) or the bytes could not be sent.
  int sendFile(const std::string& path);

  /// Sends `size` bytes as they are. Safe from several threads at once;
  /// each call's bytes are contiguous on the wire. Never raises SIGPIPE.
  /// Returns 0 on success, -1 when the bytes were dropped.
  /// Synchronous: returns once the system took all the bytes (it blocks
  /// while a server that doesn't read has filled the socket's buffers).
  virtual int rawSend(const void* data, std::size_t size) = 0;

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

/// A client connected over TCP, with its own reader thread.
class VSyncClient : public VAbstractClient
{
public:
  /// Connects to `host`:`port`.
  /// - readBufferSize: bytes read from the socket at a time (128000 is usual;
  ///   0 means 128000);
  /// - traceWire: when true, every line received is echoed to standard error;
  /// - startReader: when true, the reader thread starts at once; otherwise
  ///   call start() after registering the callbacks;
  /// - connectTimeout: seconds to wait for the connection; 0 or less leaves
  ///   the time-out to the system.
  /// A server that can't be reached gives one line on standard error; the
  /// client stays usable and drops what is sent.
  VSyncClient(const std::string& host, unsigned port, unsigned readBufferSize = 128000,
              bool traceWire = false, bool startReader = true, int connectTimeout = 2);
  /// Closes the connection and joins the reader thread; reports nothing.
  /// Must not run on this client's own reader thread (in one of its
  /// callbacks), and waits for a callback or a blocked rawSend to finish.
  ~VSyncClient() override;

  /// Starts the reader thread, if not started yet and connected.
  void start();
  /// True while the connection is open.
  bool isConnected() const;

  int rawSend(const void* data, std::size_t size) override;
  VSocketDescriptor socketDescriptor() const override;

protected:
  /// An unconnected client, for subclasses that send elsewhere (in-memory
  /// clients of tests and benchmarks override rawSend).
  struct Unconnected {};
  explicit VSyncClient(Unconnected);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
