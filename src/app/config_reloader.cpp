#include "app/config_reloader.h"

#include <array>
#include <chrono>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/load_config.h"
#include "bridge/midi.h"
#include "libgantry/utime.h"
#include "log/stderr_line.h"
#include "log/thread_entry.h"
#include "vaxo/printable.h"

namespace
{
  // The script every connection uploads after the fixed one.
  constexpr const char* robotScriptFile = "notara.vx";
  // How long a thread of the reloader waits after an error it reported
  // before it goes on, so that an error that lasts doesn't spin.
  constexpr std::chrono::milliseconds retryPause{100};

  std::string fileText(const char* path)
  {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  // "0 3 7", or "none".
  std::string slotList(const std::vector<unsigned>& slots)
  {
    if (slots.empty())
      return "none";
    std::string text;
    for (const unsigned slot : slots)
      text += (text.empty() ? "" : " ") + std::to_string(slot);
    return text;
  }
}

ConfigReloader::ConfigReloader(Midi& midi, std::string confFile, std::int64_t startUs)
    : midi_(midi), startUs_(startUs), notaraVx_(fileText(robotScriptFile))
{
  view_.file = std::move(confFile);
  view_.loadedAtS = static_cast<double>(libgantry::utime() - startUs_) / 1e6;
}

ConfigReloader::~ConfigReloader()
{
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  lock.unlock();
  wake_.notify_all();
  // A reload under way is finished first.
  if (thread_.joinable())
    thread_.join();
}

void ConfigReloader::start(bool readInput)
{
  thread_ = std::thread([this] { run(); });
  // The reader blocks in a read of standard input for as long as that
  // stays open; it is left to end with the process.
  if (readInput)
    std::thread([this] { readCommands(); }).detach();
}

void ConfigReloader::request()
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    requested_ = true;
  }
  wake_.notify_all();
}

ConfigView ConfigReloader::view() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return view_;
}

void ConfigReloader::run()
{
  // The thread's entry point: nothing may leave it. A reload that fails
  // with an exception is reported, and the thread serves the next request.
  notara::runUntilDone([this] { return serveRequests(); }, [this](const char* cause) { failed(cause); });
}

bool ConfigReloader::serveRequests()
{
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;)
  {
    wake_.wait(lock, [this] { return requested_ || stopping_; });
    if (stopping_)
      return true;
    requested_ = false;
    lock.unlock();
    reloadOnce();
    lock.lock();
  }
}

void ConfigReloader::failed(const char* cause) noexcept
{
  try
  {
    const std::string line = std::string("ConfigReloader::run: reload failed: ") + cause +
                             "; waiting for the next request";
    notara::writeStderrLine(line);
    std::unique_lock<std::mutex> lock(mutex_);
    view_.error = line;
    // A pause, unless the reloader is ending meanwhile.
    wake_.wait_for(lock, retryPause, [this] { return stopping_; });
  }
  catch (...)
  {
    std::this_thread::sleep_for(retryPause);
  }
}

void ConfigReloader::readCommands()
{
  // The thread's entry point: nothing may leave it. The end of standard
  // input ends it; an error while reading is reported, and reading goes on.
  notara::runUntilDone(
      [this] {
        readUntilEnd();
        return true;
      },
      [](const char* failure) {
        try
        {
          notara::writeStderrLine(std::string("ConfigReloader::readCommands: reading standard input failed: ") +
                                  failure + "; reading on");
        }
        catch (...)
        {
        }
        std::this_thread::sleep_for(retryPause);
      });
}

void ConfigReloader::readUntilEnd()
{
  for (std::string line; std::getline(std::cin, line);)
  {
    // Blanks around the word, and a carriage return, are not the word's.
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "reload")
      request();
    else if (!word.empty())
      notara::writeStderrLine("notara: unknown command on standard input: \"" +
                              vaxo::printable(word.substr(0, 40)) + "\" (the command is reload)");
  }
}

void ConfigReloader::reloadOnce()
{
  const std::string file = view().file;
  // Read as --check reads it: the robot lines are recorded, not connected.
  Midi staged;
  staged.robots.recordOnly();
  const std::string error = readConfiguration(staged, file);
  if (!error.empty())
  {
    notara::writeStderrLine("notara: reload: " + error + "; keeping the running configuration");
    std::lock_guard<std::mutex> guard(mutex_);
    view_.error = error;
    return;
  }

  const std::string notaraVx = fileText(robotScriptFile);
  const bool scriptChanged = notaraVx != notaraVx_;
  notaraVx_ = notaraVx;

  std::array<std::optional<RobotLinks::Address>, RobotLinks::slotCount> wanted{};
  for (const RobotLinks::Address& line : staged.robots.recorded())
    wanted[line.index] = line;
  std::vector<unsigned> kept;
  std::vector<unsigned> added;
  std::vector<unsigned> removed;
  std::vector<unsigned> afresh;
  for (unsigned slot = 0; slot < RobotLinks::slotCount; ++slot)
  {
    const std::optional<RobotLinks::Address>& running = midi_.robots.line(slot);
    if (running && !wanted[slot])
      removed.push_back(slot);
    else if (!running && wanted[slot])
      added.push_back(slot);
    else if (running && (scriptChanged || !(*running == *wanted[slot])))
      afresh.push_back(slot);
    else if (running)
      kept.push_back(slot);
  }
  // What the servers of removed and changed robots registered goes with them.
  std::uint32_t gone = 0;
  for (const auto* slots : {&removed, &afresh})
    for (const unsigned slot : *slots)
      gone |= std::uint32_t{1} << slot;

  // The new tables first: from the next event on, texts go by them.
  const std::size_t records = midi_.adoptActions(staged, gone);
  for (const unsigned slot : removed)
    midi_.robots.retire(slot);
  // A changed robot's old link is retired by the add that replaces it.
  std::vector<unsigned> connecting = added;
  connecting.insert(connecting.end(), afresh.begin(), afresh.end());
  for (const unsigned slot : connecting)
  {
    const RobotLinks::Address& line = *wanted[slot];
    midi_.robotMaxAge = line.maxAge;
    midi_.addRobot(line.index, line.host, line.port);
  }

  // The inputs of the configuration: unchanged lines keep their device
  // open, and lose nothing meanwhile.
  if (!staged.inputLines.empty() || !midi_.inputLines.empty())
  {
    const std::string inputs = midi_.extraInputs().apply(staged.inputLines, midi_.listDevices());
    if (staged.inputLines != midi_.inputLines)
      notara::writeStderrLine("notara: reload: " + inputs);
    midi_.inputLines = staged.inputLines;
  }

  {
    std::lock_guard<std::mutex> guard(mutex_);
    view_.error.reset();
    ++view_.reloads;
    view_.loadedAtS = static_cast<double>(libgantry::utime() - startUs_) / 1e6;
  }
  notara::writeStderrLine("notara: reloaded " + file + ": robot slots kept " + slotList(kept) + ", added " +
                          slotList(added) + ", removed " + slotList(removed) + ", connected afresh " +
                          slotList(afresh) + "; " + std::to_string(records) + " action records in force");
}
