#pragma once
// A loopback TCP server for tests and benchmarks of anything that talks to a
// Vaxo server: it records what each connection received and sends what the
// test tells it to. Plain Asio, independent of libvaxo.
//
// Threading: the server runs its own thread; every public method may be
// called from any thread. It has no callbacks. The waits use a generous
// time-out only so that a broken program fails instead of hanging.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace notara::test
{
  /// Listens on 127.0.0.1, accepts any number of connections, numbered from
  /// 0 in the order they were accepted.
  class TestServer
  {
  public:
    /// How long a wait goes on before it gives up.
    static constexpr std::chrono::milliseconds kWait{20000};

    /// How the server listens.
    struct Options
    {
      /// The port; 0 lets the system choose.
      unsigned port = 0;
      /// SO_RCVBUF of the listener and so of every connection; 0 keeps the
      /// system's. A small one makes a server that doesn't read stall its
      /// clients after a few kilobytes.
      int receiveBuffer = 0;
      /// False: connections are accepted but not read until resumeReading().
      bool reading = true;

      /// A server that doesn't read and whose small buffers fill after a few
      /// kilobytes: a robot that has stopped reading.
      static Options stalled()
      {
        Options options;
        options.receiveBuffer = 4096;
        options.reading = false;
        return options;
      }
    };

    /// Starts listening on 127.0.0.1 on a port chosen by the system.
    TestServer();
    /// Starts listening on 127.0.0.1 as `options` say.
    explicit TestServer(const Options& options);
    /// Stops the server.
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    /// The port the server listens on.
    unsigned port() const;

    /// Number of connections accepted so far.
    std::size_t connectionCount() const;
    /// Waits until at least `count` connections were accepted.
    bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout = kWait) const;

    /// All bytes connection `index` received so far (empty for an unknown index).
    std::string received(std::size_t index) const;
    /// Waits until connection `index` received at least `size` bytes.
    bool waitForBytes(std::size_t index, std::size_t size, std::chrono::milliseconds timeout = kWait) const;
    /// Waits until the bytes connection `index` received contain `text`.
    bool waitForText(std::size_t index, const std::string& text, std::chrono::milliseconds timeout = kWait) const;

    /// True once the peer of connection `index` closed it (or it broke).
    bool peerClosed(std::size_t index) const;
    /// Waits until the peer of connection `index` closed it.
    bool waitForPeerClosed(std::size_t index, std::chrono::milliseconds timeout = kWait) const;

    /// Queues `bytes` for connection `index`; they go out in call order.
    void sendRaw(std::size_t index, const std::string& bytes);
    /// Queues `line` followed by '\n' for connection `index`.
    void sendLine(std::size_t index, const std::string& line);
    /// Waits until everything queued for connection `index` was written.
    bool waitForSent(std::size_t index, std::chrono::milliseconds timeout = kWait) const;
    /// Closes connection `index` once what was queued for it is written.
    void close(std::size_t index);

    /// Starts reading every connection, those accepted later too.
    void resumeReading();

    /// Closes the listener and every connection and ends the thread.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };
}
