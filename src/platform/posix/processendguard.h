#pragma once
// Releases the MIDI layer's ALSA and JACK clients before the process ends,
// as Windows releases a process's MIDI devices. A JACK client left open
// when its process ends leaks a lock in libjack's per-user database, which
// all JACK clients of the machine share and which holds only some hundred.
//
// Covered ends: return from main and exit() (an atexit handler), and
// SIGINT, SIGTERM and SIGHUP where the process left their disposition at
// the default when the layer was first used. For those the signal handler
// only writes the signal's number to a pipe; a watcher thread of this
// class reads it, runs the release, restores the default disposition and
// raises the signal again, so the process still ends by that signal.
// Once the program gave a reload request, a SIGHUP that a process sent
// (not the kernel's hang-up of a terminal) only has the watcher call that
// request, and the process goes on. A
// second such signal while the release runs ends the process at once, and
// so does a release that takes longer than a second and a half (a MIDI
// server that doesn't answer): one line says so, and the process ends by
// the signal without waiting for it.
// std::_Exit and the other signals release nothing: a program that ends
// with _Exit closes its devices first.
//
// Threading: arm may be called from any thread. The release functions run
// at most once, the last armed first, with this class's mutex held: on the
// thread that calls exit() (or returns from main), or for a signal on a
// thread that the watcher starts and waits for within the deadline. Both
// the watcher and that thread have every signal blocked, and their entry
// points let no exception out.
#include <chrono>

#include <signal.h>

/// Runs the layer's releases once, whichever way the process ends.
class ProcessEndGuard
{
public:
  /// A function that closes clients; an exception out of it is ignored.
  using Release = void (*)();

  /// Adds `release` (once, however often it is given); the first call also
  /// registers the releases for exit() and installs the signal watcher.
  /// Call it before the first client is opened, after constructing the
  /// static objects that `release` uses (an atexit handler runs before
  /// their destructors only then).
  static void arm(Release release);
  /// From now on a SIGHUP whose sender is not the kernel (a terminal's
  /// hang-up is) calls `request` on the watcher thread and ends nothing.
  /// The watcher must be installed (arm), and SIGHUP was at its default.
  static void setReloadRequest(Release request);

  /// Runs the releases now unless they already ran.
  static void releaseNow();

  ProcessEndGuard() = delete;

private:
  static void installWatcher();
  static void onSignal(int signal, siginfo_t* info, void* context);
  static void watch(int readFd);
  // Serves the signal pipe until it fails (false); what it raises, watch reports.
  static bool watchOnce(int readFd);
  // Runs releaseNow on a thread of its own and waits at most `deadline` for it.
  static void releaseWithin(std::chrono::milliseconds deadline);
  static void atExit();
};
