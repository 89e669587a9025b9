// SendQueue: the outgoing texts of a connection, their ages and the
// replacement of queued assignments.
#include "send_queue.h"

namespace vaxo::detail
{
  namespace
  {
    bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '.'; }
    bool isValueChar(char c) { return isNameChar(c) || c == '+' || c == '-'; }
  }

  SendQueue::SendQueue(std::chrono::milliseconds maxAge, bool latestValueWins)
      : maxAge_(maxAge.count() > 0 ? maxAge : std::chrono::milliseconds(0)),
        latestValueWins_(latestValueWins),
        texts_(PoolAllocator<Text>(std::make_shared<FreeBlocks>(kKeptNodes)))
  {
  }

  std::string_view SendQueue::assignedName(std::string_view text)
  {
    // name '=' value ',' and nothing else: a state machine over the bytes.
    enum class State { Start, Name, ValueStart, Value, End } state = State::Start;
    std::size_t nameEnd = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
      const char c = text[i];
      switch (state)
      {
      case State::Start:
        if (!isNameStart(c))
          return {};
        state = State::Name;
        break;
      case State::Name:
        if (c == '=')
        {
          nameEnd = i;
          state = State::ValueStart;
        }
        else if (!isNameChar(c))
          return {};
        break;
      case State::ValueStart:
      case State::Value:
        if (c == ',' && state == State::Value)
          state = State::End;
        else if (!isValueChar(c))
          return {};
        else
          state = State::Value;
        break;
      case State::End:
        return {};
      }
    }
    return state == State::End ? text.substr(0, nameEnd) : std::string_view();
  }

  SendQueue::Pushed SendQueue::push(const char* data, std::size_t size, Clock::time_point made, std::size_t limit,
                                    bool whole, bool mayReplace)
  {
    // An empty text would sit at the front with nothing to write.
    if (size == 0)
      return Pushed::Empty;
    const std::string_view text(data, size);
    const std::string_view name = latestValueWins_ && !whole ? assignedName(text) : std::string_view();

    Texts::iterator replaced = texts_.end();
    auto variable = assignments_.end();
    if (!name.empty())
    {
      lookup_.assign(name.data(), name.size());
      variable = assignments_.find(lookup_);
    }
    if (mayReplace && variable != assignments_.end() && variable->second != texts_.end() &&
        !(variable->second == texts_.begin() && frontWritten_ > 0))
      replaced = variable->second;
    const std::size_t freed = replaced != texts_.end() ? replaced->bytes.size() : 0;
    if (!whole && bytes() - freed + size > limit)
      return Pushed::Full;
    if (replaced != texts_.end())
    {
      subBytes(freed);
      erase(replaced);
    }

    texts_.emplace_back(text, made, !whole, name.size());
    addBytes(size);
    if (!name.empty())
    {
      if (variable != assignments_.end())
        variable->second = std::prev(texts_.end());
      else
      {
        if (assignments_.size() >= kRememberedVariables)
          forgetIdleVariables();
        assignments_.emplace(std::string(name), std::prev(texts_.end()));
      }
    }
    return replaced != texts_.end() ? Pushed::Replaced : Pushed::Queued;
  }

  std::size_t SendQueue::dropExpired(Clock::time_point now)
  {
    if (maxAge_.count() == 0)
      return 0;
    std::size_t dropped = 0;
    auto text = texts_.begin();
    if (text != texts_.end() && frontWritten_ > 0)
      ++text;   // never half a statement
    // Texts are queued in the order they were made, so the first one young
    // enough ends the search; uploads are passed over, and so are
    // assignments when the latest value wins: the one waiting is its
    // variable's newest value, the robot's current one however old, and
    // dropping it would leave the robot with an older one for good.
    while (text != texts_.end())
    {
      if (!text->ages || (latestValueWins_ && text->nameLength > 0))
      {
        ++text;
        continue;
      }
      if (now - text->made <= maxAge_)
        break;
      const auto next = std::next(text);
      subBytes(text->bytes.size());
      erase(text);
      text = next;
      ++dropped;
    }
    return dropped;
  }

  std::size_t SendQueue::clear()
  {
    const std::size_t count = texts_.size();
    texts_.clear();
    assignments_.clear();
    frontWritten_ = 0;
    bytes_.store(0, std::memory_order_relaxed);
    return count;
  }

  std::size_t SendQueue::replaceEarlierAssignments()
  {
    if (!latestValueWins_)
      return 0;
    std::size_t replaced = 0;
    auto text = texts_.begin();
    if (text != texts_.end() && frontWritten_ > 0)
      ++text;   // never half a statement
    while (text != texts_.end())
    {
      const auto next = std::next(text);
      if (text->nameLength > 0)
      {
        lookup_.assign(text->name().data(), text->nameLength);
        const auto latest = assignments_.find(lookup_);
        if (latest != assignments_.end() && latest->second != text)
        {
          subBytes(text->bytes.size());
          erase(text);
          ++replaced;
        }
      }
      text = next;
    }
    return replaced;
  }

  void SendQueue::popFront()
  {
    frontWritten_ = 0;
    erase(texts_.begin());
  }

  void SendQueue::erase(Texts::iterator text)
  {
    if (text->nameLength > 0)
    {
      lookup_.assign(text->name().data(), text->nameLength);
      const auto found = assignments_.find(lookup_);
      if (found != assignments_.end() && found->second == text)
        found->second = texts_.end();
    }
    texts_.erase(text);
  }

  void SendQueue::forgetIdleVariables()
  {
    for (auto variable = assignments_.begin(); variable != assignments_.end();)
      variable = variable->second == texts_.end() ? assignments_.erase(variable) : std::next(variable);
  }
}
