// The test minidriver loaded, one device added and started, and the client's way to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "ks_client.h"
#include "kvz/kernel_testing.h"
#include "kvz/pnp_manager.h"
#include "test_minidriver.h"

namespace kvz::kstest {

class KsBench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The filter through its capture-category device interface.
  std::unique_ptr<ksclient::KsFilterClient> OpenFilter();
  // Intersects the test range with pin 0, then creates the pin with the result.
  std::unique_ptr<ksclient::KsPinClient> CreateCapturePin(ksclient::KsFilterClient& filter);
  // Removes the device and unloads the driver; the unload check must find nothing.
  void Unplug();

  std::unique_ptr<kvz::kernel::LoadedDriver> driver_;
  std::unique_ptr<kvz::kernel::PnpDevice> device_;
};

}  // namespace kvz::kstest
