// USBD library routines: configuration descriptor search and the select-configuration request.
#include <string.h>

#include "usbdlib.h"
#include "wdm.h"

namespace {

constexpr ULONG kUsbdTag = 'DBSU';

// The descriptor at p lies wholly inside [begin, end) and has a usable length.
bool DescriptorFits(const UCHAR* p, const UCHAR* end) {
  if (end - p < static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) return false;
  const UCHAR length = p[0];
  return length >= sizeof(USB_COMMON_DESCRIPTOR) && end - p >= length;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) return nullptr;
  const UCHAR* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* end = begin + ConfigurationDescriptor->wTotalLength;
  const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
  if (p < begin || p >= end) return nullptr;

  for (; DescriptorFits(p, end); p += p[0]) {
    if (p[1] != USB_INTERFACE_DESCRIPTOR_TYPE || p[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
    auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
    if (Matches(InterfaceNumber, d->bInterfaceNumber) &&
        Matches(AlternateSetting, d->bAlternateSetting) &&
        Matches(InterfaceClass, d->bInterfaceClass) &&
        Matches(InterfaceSubClass, d->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, d->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
  }
  return nullptr;
}

extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (InterfaceList == nullptr) return nullptr;
  SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0) return nullptr;
  // The record must be able to hold at least the first interface record in full.
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);

  UCHAR* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG i = 0; i < d->bNumEndpoints; ++i)
      (info->Pipes + i)->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    e->Interface = info;
    cursor += info->Length;
  }
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  return urb;
}
