#pragma once
// A test fixture for tests that need a JACK server as their MIDI system.
// Without one the test is skipped with the reason, or fails when the
// environment variable NOTARA_REQUIRE_JACK is 1 (the test script sets it,
// so that a missing server can't pass as a skipped test there).
//
// Threading: GoogleTest's; no callbacks.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/jack_midi_source.h"

namespace notara::test
{
  /// Skips (or fails, see above) every test of the fixture when no JACK server answers.
  class JackTest : public testing::Test
  {
  protected:
    void SetUp() override
    {
      if (JackMidiSource::serverAnswers())
        return;
      const char* server = std::getenv("JACK_DEFAULT_SERVER");
      const std::string reason = std::string("no JACK server answers (JACK_DEFAULT_SERVER=") +
                                 (server ? server : "") +
                                 "); start one with jackd -n NAME -r -d dummy -r 48000 -p 256 "
                                 "and export JACK_DEFAULT_SERVER=NAME";
      const char* require = std::getenv("NOTARA_REQUIRE_JACK");
      if (require != nullptr && std::string(require) == "1")
        FAIL() << reason << ", and NOTARA_REQUIRE_JACK is 1";
      GTEST_SKIP() << reason;
    }
  };
}
