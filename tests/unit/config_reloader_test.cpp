// ConfigReloader's thread: a reload whose reading throws what is no
// std::exception is reported, kept as the last error, and the thread serves
// the next request. The throw comes from an operation kind of the test's
// own, registered as the program's kinds are.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config_reloader.h"
#include "bridge/midi.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using notara::test::eventually;

namespace
{
  // Its setup throws an int, as no kind of the program does.
  class ThrowingOperation : public Midi::Operation
  {
  public:
    bool setup(const std::vector<std::string>&) override { throw 7; }
    void execute(int, int, int, int, int) override {}
  };

  const Midi::OperationRegistration throwingRegistration(
      "test.ThrowsAnything", [] { return static_cast<Midi::Operation*>(new ThrowingOperation); });

  TEST(ConfigReloader, AReloadThatThrowsAnythingIsReportedAndTheNextOneServes)
  {
    notara::test::TempDir dir;
    const std::string conf = dir.write("notara.conf", "action 1 60 1 test.ThrowsAnything x\n").string();
    Midi midi;
    {
      ConfigReloader reloader(midi, conf, 0);
      reloader.start(false);
      reloader.request();
      ASSERT_TRUE(eventually([&] { return reloader.view().error.has_value(); }, 10s));
      EXPECT_EQ(reloader.view().error.value_or(""),
                "ConfigReloader::run: reload failed: unknown exception; waiting for the next request");
      EXPECT_EQ(reloader.view().reloads, 0u);

      // Mended, the file is read on the next request: the thread is there.
      dir.write("notara.conf", "action 1 60 1 EmitMap midi.key\n");
      reloader.request();
      ASSERT_TRUE(eventually([&] { return reloader.view().reloads == 1; }, 10s)) << reloader.view().error.value_or("");
      EXPECT_FALSE(reloader.view().error.has_value());
    }
    ASSERT_EQ(midi.actions[0].size(), 1u);
    EXPECT_EQ(midi.actions[0][0].filterValue, 60);
  }
}
