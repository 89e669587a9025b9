#pragma once
// The bridge never frees the operations in its action tables (the program
// keeps them until it ends); a test that installs some frees them here, so
// that the leak checker sees only real leaks.
//
// Threading: call it while no other thread uses the bridge; no callbacks.
#include "bridge/midi.h"

namespace notara::test
{
  /// Deletes each operation left in `midi`'s action tables once (one
  /// installation shares its operation among its slots) and empties the tables.
  void deleteInstalledOperations(Midi& midi);
}
