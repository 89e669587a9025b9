// VAbstractClient: callback storage and dispatch, and the formatted sends
// that all end in rawSend.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <vector>

#include "vaxo/line_writer.h"
#include "vaxo/client.h"
#include "vaxo/printable.h"

namespace
{
  // Formatted texts shorter than this are built on the stack, so the usual
  // per-event send allocates nothing.
  constexpr std::size_t kStackFormatBuffer = 1024;
}

struct VAbstractClient::Callbacks
{
  struct Entry
  {
    std::string tag;
    std::shared_ptr<VCallbackWrapper> callback;
  };

  // Guards entries and error; never held while a callback runs.
  std::mutex mutex;
  std::vector<Entry> entries;
  std::shared_ptr<VCallbackWrapper> error;

  // Reused for the snapshot of matching callbacks, so that delivering a
  // message allocates nothing once it has grown. `scratchBusy` hands it to
  // one delivery at a time; a nested delivery (a callback that makes its
  // client deliver again) takes a vector of its own.
  std::vector<std::shared_ptr<VCallbackWrapper>> scratch;
  std::atomic<bool> scratchBusy{false};

  // Removes `callback` if it is still registered for `tag`.
  void remove(const std::string& tag, const VCallbackWrapper* callback)
  {
    std::lock_guard<std::mutex> guard(mutex);
    for (auto it = entries.begin(); it != entries.end(); ++it)
      if (it->callback.get() == callback && it->tag == tag)
      {
        entries.erase(it);
        return;
      }
  }

  void removeError(const VCallbackWrapper* callback)
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (error.get() == callback)
      error.reset();
  }
};

VAbstractClient::VAbstractClient() : callbacks_(std::make_unique<Callbacks>()) {}

VAbstractClient::~VAbstractClient() = default;

int VAbstractClient::send(const char* format, ...)
{
  char stackBuffer[kStackFormatBuffer];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
  va_end(args);
  if (length < 0)
  {
    va_end(again);
    vaxo::detail::writeLine(std::string("VAbstractClient::send: can't format \"") + format + "\"");
    return -1;
  }
  if (static_cast<std::size_t>(length) < sizeof stackBuffer)
  {
    va_end(again);
    return rawSend(stackBuffer, static_cast<std::size_t>(length));
  }
  // Longer texts (uploaded scripts, long lists) are rare: build them on the heap.
  std::vector<char> heapBuffer(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(heapBuffer.data(), heapBuffer.size(), format, again);
  va_end(again);
  return rawSend(heapBuffer.data(), static_cast<std::size_t>(length));
}

int VAbstractClient::sendFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
  {
    vaxo::detail::writeLine(std::string("VAbstractClient::sendFile: can't open ") + path);
    return -1;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad())
  {
    vaxo::detail::writeLine(std::string("VAbstractClient::sendFile: can't read ") + path);
    return -1;
  }
  return rawSendWhole(bytes.data(), bytes.size());
}

int VAbstractClient::rawSendWhole(const void* data, std::size_t size)
{
  return rawSend(data, size);
}

void VAbstractClient::setCallback(VCallbackWrapper* callback, const std::string& tag)
{
  if (callback == nullptr)
    return;
  std::shared_ptr<VCallbackWrapper> owned(callback);
  std::lock_guard<std::mutex> guard(callbacks_->mutex);
  callbacks_->entries.push_back({tag, std::move(owned)});
}

void VAbstractClient::setErrorCallback(VCallbackWrapper* callback)
{
  std::shared_ptr<VCallbackWrapper> owned(callback);
  std::lock_guard<std::mutex> guard(callbacks_->mutex);
  // The previous one is destroyed when its last running delivery lets go.
  callbacks_->error = std::move(owned);
}

void VAbstractClient::deliver(const VMessage& msg)
{
  Callbacks& cb = *callbacks_;

  if (msg.type == VMessageType::System)
    return;

  if (msg.type == VMessageType::Error)
  {
    std::shared_ptr<VCallbackWrapper> error;
    {
      std::lock_guard<std::mutex> guard(cb.mutex);
      error = cb.error;
    }
    if (!error)
    {
      // Nobody listens: the report must not vanish.
      vaxo::detail::writeLine(std::string("VAbstractClient::deliver: ") + vaxo::printable(msg.message));
      return;
    }
    VCallbackAction action = V_CONTINUE;
    try
    {
      action = (*error)(msg);
    }
    catch (const std::exception& e)
    {
      vaxo::detail::writeLine(std::string("VAbstractClient::deliver: error callback threw: ") + e.what());
    }
    catch (...)
    {
      vaxo::detail::writeLine(std::string("VAbstractClient::deliver: error callback threw an unknown exception"));
    }
    if (action == V_REMOVE)
      cb.removeError(error.get());
    return;
  }

  std::vector<std::shared_ptr<VCallbackWrapper>> own;
  const bool useScratch = !cb.scratchBusy.exchange(true, std::memory_order_acquire);
  std::vector<std::shared_ptr<VCallbackWrapper>>& snapshot = useScratch ? cb.scratch : own;
  {
    std::lock_guard<std::mutex> guard(cb.mutex);
    for (const auto& entry : cb.entries)
      if (entry.tag == msg.tag)
        snapshot.push_back(entry.callback);
  }

  // An exception from one callback becomes an error report; the others
  // still run.
  auto reportFailure = [this, &msg](const char* what) {
    VMessage report;
    report.client = msg.client;
    report.type = VMessageType::Error;
    report.tag = msg.tag;
    report.message = std::string("callback for tag \"") + msg.tag + "\" threw: " + what;
    deliver(report);
  };
  for (const auto& callback : snapshot)
  {
    VCallbackAction action = V_CONTINUE;
    const char* what = nullptr;
    std::string reason;
    try
    {
      action = (*callback)(msg);
    }
    catch (const std::exception& e)
    {
      reason = e.what();
      what = reason.c_str();
    }
    catch (...)
    {
      what = "an unknown exception";
    }
    if (what != nullptr)
      reportFailure(what);
    else if (action == V_REMOVE)
      cb.remove(msg.tag, callback.get());
  }

  snapshot.clear();
  if (useScratch)
    cb.scratchBusy.store(false, std::memory_order_release);
}
