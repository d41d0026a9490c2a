#include "pin_bench.h"

#include <cstring>

namespace kvz::drivertest {

void PinBench::SetUp() {
  ControlBench::SetUp();
  driverEntry_ = PinTestDriverEntry;
  Pins().Reset();
}

LONG PinBench::PinOf(const GUID& category) {
  ULONG count = 0;
  if (filter_->PinCount(&count) != STATUS_SUCCESS) return -1;
  for (ULONG i = 0; i < count; ++i) {
    GUID g{};
    if (filter_->PinCategory(i, &g) == STATUS_SUCCESS && IsEqualGUID(g, category)) return static_cast<LONG>(i);
  }
  return -1;
}

KS_BITMAPINFOHEADER* BitmapOf(ksclient::Bytes& format) {
  auto* header = reinterpret_cast<KSDATAFORMAT*>(format.data());
  if (IsEqualGUID(header->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO))
    return &reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
  return &reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER2*>(format.data())->VideoInfoHeader2.bmiHeader;
}

ksclient::Bytes PinBench::Range(ULONG pin, ULONG code, LONG width, LONG height, bool videoInfo2) {
  std::vector<ksclient::Bytes> ranges;
  if (filter_->PinDataRanges(pin, &ranges) != STATUS_SUCCESS) return {};
  for (ksclient::Bytes& r : ranges) {
    auto* header = reinterpret_cast<KSDATARANGE*>(r.data());
    const bool two = IsEqualGUID(header->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2);
    if (two != videoInfo2) continue;
    const KS_BITMAPINFOHEADER& b =
        two ? reinterpret_cast<KS_DATARANGE_VIDEO2*>(r.data())->VideoInfoHeader.bmiHeader
            : reinterpret_cast<KS_DATARANGE_VIDEO*>(r.data())->VideoInfoHeader.bmiHeader;
    if (b.biCompression == code && b.biWidth == width && b.biHeight == height) return r;
  }
  return {};
}

ksclient::Bytes PinBench::Format(ULONG pin, ULONG code, LONG width, LONG height, LONGLONG interval, bool videoInfo2) {
  ksclient::Bytes range = Range(pin, code, width, height, videoInfo2);
  if (range.empty()) return {};
  if (videoInfo2)
    reinterpret_cast<KS_DATARANGE_VIDEO2*>(range.data())->VideoInfoHeader.AvgTimePerFrame = interval;
  else
    reinterpret_cast<KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader.AvgTimePerFrame = interval;
  ksclient::Bytes format;
  if (filter_->Intersect(pin, {range}, &format) != STATUS_SUCCESS) return {};
  return format;
}

NTSTATUS PinBench::Open(ULONG pin, const ksclient::Bytes& format, std::unique_ptr<ksclient::KsPinClient>* client) {
  return filter_->CreatePin(pin, format, client);
}

std::unique_ptr<ksclient::KsPinClient> PinBench::Running(ULONG code, LONG width, LONG height, bool still) {
  const LONG pin = PinOf(still ? PINNAME_VIDEO_STILL : PINNAME_VIDEO_CAPTURE);
  std::unique_ptr<ksclient::KsPinClient> client;
  if (pin < 0) return client;
  ksclient::Bytes format = Format(static_cast<ULONG>(pin), code, width, height);
  if (format.empty() || Open(static_cast<ULONG>(pin), format, &client) != STATUS_SUCCESS) return nullptr;
  if (client->SetState(KSSTATE_RUN) != STATUS_SUCCESS) return nullptr;
  return client;
}

}  // namespace kvz::drivertest
