#pragma once
// The end of the process, as notara wants it on every system: its MIDI
// devices closed however it ends. On Windows that covers the console's
// Ctrl-C, Ctrl-Break and close events (and log-off and shut-down), after
// which the process ends as the console's default handling ends it; on
// other systems SIGINT, SIGTERM and SIGHUP, after which the process still
// ends by that signal; on both, exit() and endProcess.
//
// Threading: the functions may be called from any thread. A release runs
// once, on the thread that ends the process: the one that calls exit() or
// endProcess, a signal watcher thread of the MIDI layer, or the thread on
// which Windows delivers the console event. No lock of the caller's is held
// then; the release may join the program's own threads.
namespace notara::platform
{
  /// A function that closes what must not outlive the process; it must not throw.
  using ProcessRelease = void (*)();

  /// Registers `release` to run once when the process ends; call it once,
  /// early in main, before any MIDI device is opened.
  void onProcessEnd(ProcessRelease release);

  /// Runs the releases now, then ends the process with `status` without
  /// running static destructors (threads may still use static objects).
  [[noreturn]] void endProcess(int status);

  /// Asks the program to read its configuration again; it must not throw
  /// and must return soon (it hands the work to a thread of the program).
  using ReloadRequest = void (*)();

  /// From now on a SIGHUP that another process sent (kill, systemctl
  /// reload) calls `request` on the signal watcher's thread instead of
  /// ending the process; the hang-up of the process's terminal still ends
  /// it. A read of standard input from the background then fails instead
  /// of stopping the process (SIGTTIN). Where there is no SIGHUP, nothing.
  /// Call it after onProcessEnd and before standard input is read.
  void onReloadRequest(ReloadRequest request);
}
