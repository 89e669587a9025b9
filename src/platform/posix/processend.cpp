// The end of the process over the MIDI layer's guard, which also closes the
// layer's own clients after the program's release.
#include "platform/processend.h"

#include <csignal>
#include <cstdlib>
#include <iostream>

#include <mmsystem.h>

#include "log/stderr_line.h"
#include "processendguard.h"

namespace notara::platform
{
  void onProcessEnd(ProcessRelease release)
  {
    // Asking for the device count arms the layer's own release first, so
    // the program's (armed after it) runs before it.
    midiInGetNumDevs();
    ProcessEndGuard::arm(release);
  }

  void onReloadRequest(ReloadRequest request)
  {
    // Commands are read from standard input too: a read of the terminal
    // by a notara started in the background (notara &) must fail, not
    // stop the whole process.
    std::signal(SIGTTIN, SIG_IGN);
    ProcessEndGuard::setReloadRequest(request);
  }

  void endProcess(int status)
  {
    ProcessEndGuard::releaseNow();
    notara::flushStderr(std::chrono::seconds(1));
    std::cout.flush();
    std::_Exit(status);
  }
}
