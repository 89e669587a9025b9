#pragma once
// What a robot link tells the part of the program that owns it: a robot's
// connection was made, and a control message arrived on it. The bridge
// implements it; the robot links know nothing more of the bridge.
//
// Threading: both run on the I/O thread of the robot's client, with no lock
// of the links held. robotConnected runs before the connection's uploads,
// so nothing else has reached the new connection yet.
#include "vaxo/callback.h"
#include "vaxo/message.h"

/// The owner of the robot links, told of connections and control messages.
class RobotEvents
{
public:
  /// Robot slot `slot` connected (again): what its server registered on
  /// the previous connection is to go.
  virtual void robotConnected(int slot) = 0;
  /// A control message (tag "midictl") arrived on robot slot `slot`'s connection.
  virtual VCallbackAction controlArrived(const VMessage& msg, int slot) = 0;

protected:
  ~RobotEvents() = default;
};
