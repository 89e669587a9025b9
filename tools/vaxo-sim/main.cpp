// vaxo-sim: a stand-in robot-control server for rehearsals and tests.
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "vaxo-sim/console.h"
#include "vaxo-sim/options.h"
#include "vaxo-sim/server.h"
#include "vaxo-sim/stdin_reader.h"

int main(int argc, char** argv)
{
  using namespace vaxosim;
  try
  {
    SimOptions options;
    try
    {
      options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    }
    catch (const std::invalid_argument& e)
    {
      std::cerr << "vaxo-sim: " << e.what() << std::endl;
      return 2;
    }
    if (options.help)
    {
      std::cout << usageText();
      return 0;
    }

    boost::asio::io_context io;
    Server server(io, options, std::cout, std::cerr);
    auto stopAll = [&] {
      server.stop();
      io.stop();
    };

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int signal) {
      if (ec)
        return;
      std::cout << "vaxo-sim: stopping (" << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ")" << std::endl;
      stopAll();
    });

    Console console(server, [&] {
      std::cout << "vaxo-sim: stopping (quit)" << std::endl;
      stopAll();
    });
    StdinReader input(
      io, [&](const std::string& line) { console.handle(line); },
      [] { std::cout << "vaxo-sim: end of standard input; serving on until SIGINT or SIGTERM" << std::endl; });

    auto where = server.endpoint();
    std::cout << "vaxo-sim listening on " << where.address().to_string() << ":" << where.port() << std::endl;
    std::cout << "vaxo-sim: type help for the commands" << std::endl;
    server.start();
    input.start();
    io.run();
    return 0;
  }
  catch (const std::exception& e)
  {
    std::cerr << "vaxo-sim: " << e.what() << std::endl;
    return 1;
  }
}
