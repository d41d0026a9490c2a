// The bus's stress mode under ThreadSanitizer: isochronous completions on one bus thread while
// control requests and interrupt transfers complete on the other, for a few seconds of bus time.
// Registered with CTest only in the tsan build (label "stress"); run by hand.
#include <gtest/gtest.h>

#include <atomic>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::BusClient;
using testing::TestGuids;

TEST(CompletionStress, TwoThreadsCompleteAtOnceWithoutRaces) {
  PortOptions options;
  options.twoCompletionThreads = true;
  UsbBus bus;
  auto camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()));
  BusClient client(bus.Plug(camera, options));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.Commit(1, 3, 333333);
  ASSERT_EQ(client.SelectAlternate(1, 2), STATUS_SUCCESS);

  std::atomic<bool> stop{false};
  std::atomic<int> controls{0}, buttons{0};
  kvz::kernel::KernelThread hammer("control hammer", [&] {
    while (!stop) {
      std::vector<uint8_t> value(2);
      if (NT_SUCCESS(client.ClassRequest(true, GET_CUR, PU_BRIGHTNESS_CONTROL << 8, 0x0200, &value))) ++controls;
    }
  });
  kvz::kernel::KernelThread status("status reader", [&] {
    while (!stop) {
      camera->PressButton();
      testing::BulkRead read(client, &client.Interface(0)->Pipes[0], 16);
      if (read.request->Wait() && NT_SUCCESS(read.request->status)) ++buttons;
    }
  });
  testing::StreamResult r = testing::StreamIsoch(client, &client.Interface(1)->Pipes[0], 5, 32, 60);
  stop = true;
  hammer.Join();
  status.Join();
  EXPECT_EQ(r.failed, 0u);
  EXPECT_GE(r.frames.size(), 60u);
  EXPECT_GT(controls.load(), 100);
  EXPECT_GT(buttons.load(), 10);
  for (const auto& f : r.frames) EXPECT_FALSE(f.error);
}

}  // namespace
}  // namespace kvz::usb
