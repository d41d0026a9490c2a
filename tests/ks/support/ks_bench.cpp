#include "ks_bench.h"

namespace kvz::kstest {

void KsBench::SetUp() {
  Log().Reset();
  // Whatever an earlier test left behind is that test's fault; it must not pass unseen.
  kvz::kernel::UnloadReport before = kvz::kernel::CheckUnload();
  ASSERT_TRUE(before.clean) << "left behind before this test started:\n" << before.text;
  ASSERT_EQ(STATUS_SUCCESS, kvz::kernel::LoadedDriver::Load(TestDriverEntry, u"kvzkstest", &driver_));
  kvz::kernel::DeviceDescription description;
  description.instanceId = u"USB\\VID_1234&PID_5678\\6&0&0&1";
  ASSERT_EQ(STATUS_SUCCESS, kvz::kernel::PnpDevice::Add(*driver_, description, nullptr, &device_));
  ASSERT_EQ(STATUS_SUCCESS, device_->Start());
}

void KsBench::Unplug() {
  if (device_ && !device_->IsRemoved()) {
    EXPECT_EQ(STATUS_SUCCESS, device_->Remove());
  }
  device_.reset();
  if (driver_) driver_->Unload();
  driver_.reset();
  kvz::kernel::UnloadReport report = kvz::kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << report.text;
}

void KsBench::TearDown() {
  if (driver_) Unplug();
}

std::unique_ptr<ksclient::KsFilterClient> KsBench::OpenFilter() {
  std::vector<std::u16string> links = ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE);
  EXPECT_EQ(1u, links.size());
  if (links.empty()) return nullptr;
  std::unique_ptr<ksclient::KsFilterClient> filter;
  EXPECT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::OpenLink(links[0], &filter));
  return filter;
}

std::unique_ptr<ksclient::KsPinClient> KsBench::CreateCapturePin(ksclient::KsFilterClient& filter) {
  ksclient::Bytes format;
  EXPECT_EQ(STATUS_SUCCESS, filter.Intersect(0, {Yuy2Range()}, &format));
  std::unique_ptr<ksclient::KsPinClient> pin;
  EXPECT_EQ(STATUS_SUCCESS, filter.CreatePin(0, format, &pin));
  return pin;
}

}  // namespace kvz::kstest
