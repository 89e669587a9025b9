// RobotLinks: the slot table, the send over it, and the once-a-second
// report of dropped texts.
#include "robots/robot_links.h"

#include <chrono>
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
    recorded_.push_back({index, host, port});
    return 1;
  }
  auto link = std::make_unique<RobotLink>(events, static_cast<int>(index), host, port, clients_, maxAge);
  RobotLink& added = *link;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    links_.push_back(std::move(link));
    if (!monitor_.joinable())
      monitor_ = std::thread([this] { monitor(); });
  }
  slots_[index].store(&added, std::memory_order_release);
  added.start();
  return 1;
}

std::uint32_t RobotLinks::send(int robotMask, const std::string& text)
{
  const auto mask = static_cast<std::uint32_t>(robotMask);
  std::uint32_t reached = 0;
  for (std::size_t i = 0; i < slotCount; ++i)
  {
    if ((mask & (std::uint32_t{1} << i)) == 0)
      continue;
    // A robot that doesn't read or is down drops the text and counts it;
    // its link reports the count.
    if (RobotLink* link = slots_[i].load(std::memory_order_acquire))
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
  // Nothing may leave the thread.
  try
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
  catch (const std::exception& e)
  {
    std::cerr << "RobotLinks::monitor: " << e.what() << std::endl;
  }
}
