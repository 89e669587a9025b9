#include "support/installed_operations.h"

#include <set>

namespace notara::test
{
  void deleteInstalledOperations(Midi& midi)
  {
    std::set<Midi::Operation*> operations;
    for (auto& table : midi.actions)
    {
      for (const Midi::Action& action : table)
        operations.insert(action.operation);
      table.clear();
    }
    for (Midi::Operation* operation : operations)
      delete operation;
  }
}
