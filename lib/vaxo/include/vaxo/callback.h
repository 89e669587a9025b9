#pragma once
// Callback bindings. A callback runs on its connection's reader thread, one
// at a time and in the order the lines arrived; no lock of the library is
// held while it runs, so it may send on any client.
#include "vaxo/message.h"

/// What a callback asks of the library after it ran.
using VCallbackAction = int;
/// Keep the callback registered.
constexpr VCallbackAction V_CONTINUE = 0;
/// Remove the callback.
constexpr VCallbackAction V_REMOVE = 1;

/// The abstract callback: called with each message it was registered for.
class VCallbackWrapper
{
public:
  /// Handles one message; returns V_CONTINUE to stay registered.
  virtual VCallbackAction operator()(const VMessage& msg) = 0;
  /// Callbacks are owned by the client they are registered with.
  virtual ~VCallbackWrapper() = default;
};

/// Calls a member function of an object.
template <class T>
class VCallbackWrapper0 : public VCallbackWrapper
{
public:
  /// The member function type.
  using Member = VCallbackAction (T::*)(const VMessage&);
  /// Binds `member` of `object`; the object must outlive the callback.
  VCallbackWrapper0(T& object, Member member) : object_(object), member_(member) {}
  /// Calls the member with the message.
  VCallbackAction operator()(const VMessage& msg) override { return (object_.*member_)(msg); }

private:
  T& object_;
  Member member_;
};

/// Calls a free function.
class VCallbackWrapperF : public VCallbackWrapper
{
public:
  /// The function type.
  using Function = VCallbackAction (*)(const VMessage&);
  /// Binds `function`.
  explicit VCallbackWrapperF(Function function) : function_(function) {}
  /// Calls the function with the message.
  VCallbackAction operator()(const VMessage& msg) override { return function_(msg); }

private:
  Function function_;
};
