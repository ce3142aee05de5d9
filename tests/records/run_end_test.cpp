// The run-end gate: a console event that meets the normal end of the run, in either order,
// ends the run once, by one road: no notice and status 0, or the notice and the event's status.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "records/diagnostics.h"

namespace records {
namespace {

// The main thread is inside its normal end (the gate passed, the exit not yet reached) when
// the event thread delivers control-C: the event is taken and changes nothing.
TEST(RunEndGateDeathTest, EventInsideTheNormalEndChangesNothing) {
  EXPECT_EXIT(
      {
        start_run();
        if (!claim_run_end()) std::abort();
        std::thread event([] {
          if (!on_console_event(0)) std::abort();
        });
        event.join();
        end_normal_run();
      },
      ::testing::ExitedWithCode(0), "^$");
}

// The event's road has passed the gate and not yet ended the process (here it ends it with
// 77) when the main thread reaches its normal end: the main thread waits instead of exiting 0.
TEST(RunEndGateDeathTest, NormalEndAfterTheEventWaitsForIt) {
  EXPECT_EXIT(
      {
        start_run();
        static std::atomic<bool> gate_taken{false};
        std::thread event([] {
          gate_taken = claim_run_end();
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          platform::exit_process_now(77);
        });
        event.detach();
        while (!gate_taken) std::this_thread::yield();
        end_normal_run();
      },
      ::testing::ExitedWithCode(77), "^$");
}

}  // namespace
}  // namespace records
