// The end of the process on Windows: the console's control events and exit()
// run the release; Windows then ends the process as it would have.
#include "platform/processend.h"
#include "log/stderr_line.h"

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include <windows.h>

namespace
{
  std::atomic<notara::platform::ProcessRelease> registered{nullptr};
  std::once_flag released;

  void releaseOnce()
  {
    std::call_once(released, [] {
      const notara::platform::ProcessRelease release = registered.load();
      if (release == nullptr)
        return;
      try
      {
        release();
      }
      catch (...)
      {
      }
    });
  }

  void atExit()
  {
    releaseOnce();
  }

  // Windows calls this on a thread of its own. FALSE hands the event on to
  // the default handling, which ends the process (for the close, log-off
  // and shut-down events it does so after this returns anyway).
  BOOL WINAPI onConsoleEvent(DWORD event)
  {
    switch (event)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      releaseOnce();
      break;
    default:
      break;
    }
    return FALSE;
  }
}

namespace notara::platform
{
  void onProcessEnd(ProcessRelease release)
  {
    registered.store(release);
    if (std::atexit(&atExit) != 0)
      notara::StderrLine() << "notara::platform::onProcessEnd: can't register the release at exit";
    if (!SetConsoleCtrlHandler(&onConsoleEvent, TRUE))
      notara::StderrLine() << "notara::platform::onProcessEnd: can't watch the console's events (error "
                << GetLastError() << ")";
  }

  void onReloadRequest(ReloadRequest)
  {
    // No SIGHUP here: a reload is asked for on standard input.
  }

  void endProcess(int status)
  {
    releaseOnce();
    notara::flushStderr(std::chrono::seconds(1));
    std::cout.flush();
    std::_Exit(status);
  }
}
