// RobotLinks: the slot table, the send over it, and the once-a-second
// report of dropped texts.
#include "robots/robot_links.h"
#include "log/stderr_line.h"
#include "log/thread_entry.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdint>
#include <iostream>

RobotLinks::RobotLinks(RobotClientFactory clients) : clients_(std::move(clients))
{
  for (auto& slot : slots_)
    slot.store(nullptr);
}

RobotLinks::~RobotLinks()
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (monitor_.joinable())
    monitor_.join();
  for (auto& slot : slots_)
    slot.store(nullptr);
  links_.clear();
}

int RobotLinks::add(RobotEvents& events, unsigned index, const std::string& host, unsigned port,
                    std::chrono::milliseconds maxAge)
{
  if (index >= slotCount)
    return -1;
  if (recording_)
  {
    recorded_.push_back({index, host, port, maxAge});
    return 1;
  }
  // A link the slot held goes first: it must not go on withdrawing the
  // actions of the slot's server.
  retire(index);
  auto link = std::make_unique<RobotLink>(events, static_cast<int>(index), host, port, clients_, maxAge);
  RobotLink& added = *link;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    links_.push_back(std::move(link));
    if (!monitor_.joinable())
      monitor_ = std::thread([this] { monitor(); });
  }
  lines_[index] = Address{index, host, port, maxAge};
  slots_[index].store(&added, std::memory_order_seq_cst);
  added.start();
  return 1;
}

void RobotLinks::retire(unsigned index)
{
  if (index >= slotCount)
    return;
  RobotLink* const link = slots_[index].exchange(nullptr, std::memory_order_seq_cst);
  lines_[index].reset();
  if (link == nullptr)
    return;
  // A send counts itself before it loads a slot: once the count has been
  // seen at zero after the slot was emptied, no send holds the old link.
  // Sends take microseconds, so the wait is short even under a flood.
  while (senders_.load(std::memory_order_seq_cst) != 0)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  std::unique_ptr<RobotLink> owned;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = std::find_if(links_.begin(), links_.end(), [link](const auto& held) { return held.get() == link; });
    if (found != links_.end())
    {
      owned = std::move(*found);
      links_.erase(found);
    }
  }
  // Outside the mutex: the destructor joins the link's thread, whose
  // events may want the views.
  owned.reset();
}

std::uint32_t RobotLinks::send(int robotMask, const std::string& text)
{
  const auto mask = static_cast<std::uint32_t>(robotMask);
  std::uint32_t reached = 0;
  // Counted for retire: a link is destroyed only while no send runs.
  senders_.fetch_add(1, std::memory_order_seq_cst);
  struct Uncount
  {
    std::atomic<int>& senders;
    ~Uncount() { senders.fetch_sub(1, std::memory_order_seq_cst); }
  } uncount{senders_};
  for (std::size_t i = 0; i < slotCount; ++i)
  {
    if ((mask & (std::uint32_t{1} << i)) == 0)
      continue;
    // A robot that doesn't read or is down drops the text and counts it;
    // its link reports the count.
    if (RobotLink* link = slots_[i].load(std::memory_order_seq_cst))
    {
      link->send(text);
      reached |= std::uint32_t{1} << i;
    }
  }
  return reached;
}

std::vector<RobotLinkView> RobotLinks::views() const
{
  std::vector<RobotLinkView> views;
  // Under the mutex, so that no link goes while it is read.
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& slot : slots_)
    if (const RobotLink* link = slot.load(std::memory_order_acquire))
      views.push_back(link->view());
  return views;
}

void RobotLinks::monitor()
{
  // The thread's entry point: nothing may leave it. A round that fails is
  // reported and the next comes a second later, as rounds do: the drops
  // must go on being told.
  notara::runUntilDone(
      [this] {
        reportEverySecond();
        return true;
      },
      [](const char* failure) {
        try
        {
          notara::writeStderrLine(std::string("RobotLinks::monitor: reporting the robots' drops failed: ") +
                                  failure + "; going on");
        }
        catch (...)
        {
        }
      });
}

void RobotLinks::reportEverySecond()
{
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_)
  {
    wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
    if (stopping_)
      break;
    for (const auto& link : links_)
      link->reportDrops();
  }
}
