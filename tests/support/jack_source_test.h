#pragma once
// The set-up that the end-to-end tests of real MIDI share: a JACK MIDI
// source of the test's own, opened before each test, and the notara program
// started on it. It runs NOTARA_BINARY, the test program's compile
// definition, so it is a header of its own and not part of the library.
//
// Threading: GoogleTest's; no callbacks.
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"

namespace notara::test
{
  /// A JackTest with `source` open during each test and `run` stopped before it closes.
  class JackSourceTest : public JackTest
  {
  protected:
    /// The source's port is `portName`; its client is `clientName`, or a
    /// name unique to the process when that is empty.
    explicit JackSourceTest(std::string portName, std::string clientName = "")
      : portName_(std::move(portName)), clientName_(std::move(clientName))
    {
    }

    void SetUp() override
    {
      JackTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
        return;
      openSource();
    }

    void TearDown() override
    {
      // notara first, so that it never sees its device go at the end.
      run.reset();
      source.reset();
    }

    /// Opens `source`, again after it was closed under the same client name.
    void openSource()
    {
      source = clientName_.empty() ? std::make_unique<JackMidiSource>(portName_)
                                   : std::make_unique<JackMidiSource>(portName_, clientName_);
    }

    /// The number under which this process lists `device`; -1, with a
    /// failure recorded, when it isn't listed.
    static int deviceOf(const JackMidiSource& device)
    {
      const int number = midiDeviceNumber(device.deviceName());
      EXPECT_GE(number, 0) << device.deviceName() << " is not among the MIDI input devices";
      return number;
    }

    /// Starts notara with `conf` on MIDI device `device` and waits until it idles.
    void startNotara(const std::string& conf, int device)
    {
      run = std::make_unique<NotaraRun>(NOTARA_BINARY, conf);
      run->start({std::to_string(device)});
      ASSERT_TRUE(run->waitUntilIdle()) << run->process().errors();
    }

    /// The same on the source's device.
    void startNotara(const std::string& conf)
    {
      const int device = deviceOf(*source);
      ASSERT_GE(device, 0);
      startNotara(conf, device);
    }

    std::unique_ptr<JackMidiSource> source;
    std::unique_ptr<NotaraRun> run;

  private:
    std::string portName_;
    std::string clientName_;
  };
}
