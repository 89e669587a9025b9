#pragma once
// The registration of an operation kind in the bridge's operation registry.
// Each kind's source file defines one static object of Registration<Kind>,
// which registers the kind during static initialisation; the kinds are built
// as an object library, so the linker keeps every such object.
//
// Threading: constructed during static initialisation, before main; the
// creator runs on the thread that installs an action.
#include "bridge/midi.h"

namespace midiop
{
  /// Registers `Kind` under a name, with a creator that default-constructs it.
  template <class Kind>
  class Registration : public Midi::OperationRegistration
  {
  public:
    /// Appends the kind to the registry under `name`.
    explicit Registration(const char* name) : Midi::OperationRegistration(name, &create) {}

  private:
    static Midi::Operation* create() { return new Kind; }
  };
}
