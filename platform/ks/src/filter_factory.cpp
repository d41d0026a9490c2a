// Filter factories (one create item and one device interface per category each) and the filters
// they create, with their pin factories.
#include <cstring>

#include "ks_objects.h"

namespace kvz::ks {
namespace {

constexpr ULONG kDescriptorTag = 'dfSK';

// The filter's descriptor becomes its own copy with the new pin descriptor appended, so that
// KSFILTER.Descriptor lists every pin factory. The pin factory itself works from the caller's
// descriptor, which the minidriver keeps alive (typically in the filter's bag).
NTSTATUS AddPinFactory(Filter* f, const KSPIN_DESCRIPTOR_EX* descriptor, PULONG pinId) {
  KSFILTER* pub = f->Public();
  const KSFILTER_DESCRIPTOR* old = pub->Descriptor;
  const ULONG count = old ? old->PinDescriptorsCount : 0;
  ULONG stride = old && old->PinDescriptorSize ? old->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  if (stride < sizeof(KSPIN_DESCRIPTOR_EX)) stride = sizeof(KSPIN_DESCRIPTOR_EX);
  const size_t bytes = sizeof(KSFILTER_DESCRIPTOR) + static_cast<size_t>(count + 1) * stride;
  auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(KsPoolType(), bytes, kDescriptorTag));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  memset(block, 0, bytes);
  auto* edited = reinterpret_cast<KSFILTER_DESCRIPTOR*>(block);
  if (old) *edited = *old;
  uint8_t* pins = block + sizeof(KSFILTER_DESCRIPTOR);
  if (count && old->PinDescriptors) {
    const ULONG oldStride = old->PinDescriptorSize ? old->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
    for (ULONG i = 0; i < count; ++i)
      memcpy(pins + static_cast<size_t>(i) * stride,
             reinterpret_cast<const uint8_t*>(old->PinDescriptors) + static_cast<size_t>(i) * oldStride,
             oldStride < stride ? oldStride : stride);
  }
  memcpy(pins + static_cast<size_t>(count) * stride, descriptor, sizeof(KSPIN_DESCRIPTOR_EX));
  edited->PinDescriptorsCount = count + 1;
  edited->PinDescriptorSize = stride;
  edited->PinDescriptors = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(pins);
  NTSTATUS status = f->bag.Add(block, nullptr, bytes);
  if (!NT_SUCCESS(status)) {
    ExFreePool(block);
    return status;
  }
  pub->Descriptor = edited;
  // An earlier copy of ours goes; a descriptor the minidriver edited itself stays in its bag.
  if (old && f->editedDescriptor == old) f->bag.Remove(const_cast<KSFILTER_DESCRIPTOR*>(old), TRUE);
  f->editedDescriptor = edited;
  PinFactory pf;
  pf.descriptor = descriptor;
  f->pinFactories.push_back(pf);
  if (pinId) *pinId = static_cast<ULONG>(f->pinFactories.size() - 1);
  return STATUS_SUCCESS;
}

}  // namespace

void DestroyFactory(FilterFactory* factory) {
  KeWaitForSingleObject(&factory->device->listLock, Executive, KernelMode, FALSE, nullptr);
  for (Filter* f : factory->filters) f->factory = nullptr;
  KeReleaseMutex(&factory->device->listLock, FALSE);
  for (UNICODE_STRING& link : factory->interfaceLinks) {
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
  }
  factory->interfaceLinks.clear();
  factory->bag.FreeAll();
  RetireShell(factory);
  delete factory;
}

NTSTATUS CreateFilter(Device* device, FilterFactory* factory, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  const KSFILTER_DESCRIPTOR* descriptor = factory->shell.pub.FilterDescriptor;
  auto* f = new Filter();
  AdoptShell(f, ObjectKind::Filter);
  f->device = device;
  f->factory = factory;
  f->file = file;
  KeInitializeMutex(&f->control, 0);
  f->bag.SetGuard(&f->control, "KS filter", kControlMutexName);
  KSFILTER* pub = f->Public();
  pub->Descriptor = descriptor;
  pub->Bag = f->bag.Handle();
  pub->Context = device->Public()->Context;
  if (descriptor && descriptor->PinDescriptors) {
    ULONG stride = descriptor->PinDescriptorSize ? descriptor->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
    for (ULONG i = 0; i < descriptor->PinDescriptorsCount; ++i) {
      PinFactory pf;
      pf.descriptor = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
          reinterpret_cast<const uint8_t*>(descriptor->PinDescriptors) + static_cast<size_t>(i) * stride);
      f->pinFactories.push_back(pf);
    }
  }
  // The minidriver's create already finds its filter through the IRP.
  file->FsContext = &f->shell.header;

  NTSTATUS status = STATUS_SUCCESS;
  if (descriptor && descriptor->Dispatch && descriptor->Dispatch->Create) {
    KsFilterAcquireControl(pub);
    status = descriptor->Dispatch->Create(pub, irp);
    KsFilterReleaseControl(pub);
  }
  if (!NT_SUCCESS(status)) {
    file->FsContext = nullptr;
    FreeEventsOfObject(pub);
    f->bag.FreeAll();
    RetireShell(f);
    delete f;
    return status;
  }
  KeWaitForSingleObject(&device->listLock, Executive, KernelMode, FALSE, nullptr);
  factory->filters.push_back(f);
  device->filters.push_back(f);
  KeReleaseMutex(&device->listLock, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS CloseFilter(Filter* f, PIRP irp) {
  KSFILTER* pub = f->Public();
  // Pins left open by the client go first; their filter's close comes last, all under the
  // control mutex as the minidriver's callbacks expect.
  KsFilterAcquireControl(pub);
  for (PinFactory& pf : f->pinFactories) {
    while (!pf.pins.empty()) {
      Pin* pin = pf.pins.back();
      PFILE_OBJECT file = pin->file;  // the pin record goes with the close
      ClosePin(pin, nullptr);
      file->FsContext = nullptr;
      FileClosed(f->device);
    }
  }
  const KSFILTER_DESCRIPTOR* descriptor = pub->Descriptor;
  if (descriptor && descriptor->Dispatch && descriptor->Dispatch->Close) descriptor->Dispatch->Close(pub, irp);
  KsFilterReleaseControl(pub);
  FreeEventsOfObject(pub);
  f->bag.FreeAll();
  KeWaitForSingleObject(&f->device->listLock, Executive, KernelMode, FALSE, nullptr);
  if (f->factory) {
    auto& list = f->factory->filters;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == f) {
        list.erase(it);
        break;
      }
    }
  }
  auto& all = f->device->filters;
  for (auto it = all.begin(); it != all.end(); ++it) {
    if (*it == f) {
      all.erase(it);
      break;
    }
  }
  KeReleaseMutex(&f->device->listLock, FALSE);
  RetireShell(f);
  delete f;
  return STATUS_SUCCESS;
}

}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT deviceObject, const KSFILTER_DESCRIPTOR* descriptor,
                                                PCWSTR refString, PSECURITY_DESCRIPTOR securityDescriptor,
                                                ULONG createItemFlags, PFNKSFILTERFACTORYPOWER sleepCallback,
                                                PFNKSFILTERFACTORYPOWER wakeCallback, PKSFILTERFACTORY* result) {
  UNREFERENCED_PARAMETER(securityDescriptor);
  UNREFERENCED_PARAMETER(sleepCallback);
  UNREFERENCED_PARAMETER(wakeCallback);
  Device* d = DeviceOfDeviceObject(deviceObject);
  if (!d || !descriptor) return STATUS_INVALID_PARAMETER;
  if (d->Public()->Started && !OwnsMutex(&d->mutex))
    KsBugCheck("KsCreateFilterFactory on a started device without holding the %s", kDeviceMutexName);
  auto* ff = new FilterFactory();
  AdoptShell(ff, ObjectKind::FilterFactory);
  ff->device = d;
  ff->bag.SetGuard(&d->mutex, "KS filter factory", kDeviceMutexName);
  ff->createItemFlags = createItemFlags;
  if (refString) {
    for (const WCHAR* p = refString; *p; ++p) ff->referenceString.push_back(*p);
  }
  ff->shell.pub.FilterDescriptor = descriptor;
  ff->shell.pub.Bag = ff->bag.Handle();
  ff->shell.pub.Context = d->Public()->Context;

  // One device interface per category, all under the factory's reference string.
  for (ULONG i = 0; i < descriptor->CategoriesCount; ++i) {
    UNICODE_STRING reference;
    reference.Buffer = const_cast<PWCH>(ff->referenceString.c_str());
    reference.Length = static_cast<USHORT>(ff->referenceString.size() * sizeof(WCHAR));
    reference.MaximumLength = static_cast<USHORT>(reference.Length + sizeof(WCHAR));
    UNICODE_STRING link{};
    NTSTATUS status = IoRegisterDeviceInterface(d->Public()->PhysicalDeviceObject, &descriptor->Categories[i],
                                                ff->referenceString.empty() ? nullptr : &reference, &link);
    if (!NT_SUCCESS(status)) {
      DestroyFactory(ff);
      return status;
    }
    ff->interfaceLinks.push_back(link);
    IoSetDeviceInterfaceState(&link, TRUE);
  }
  KeWaitForSingleObject(&d->listLock, Executive, KernelMode, FALSE, nullptr);
  d->factories.push_back(ff);
  KeReleaseMutex(&d->listLock, FALSE);
  if (result) *result = &ff->shell.pub;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KsFilterCreatePinFactory(PKSFILTER filter, const KSPIN_DESCRIPTOR_EX* descriptor,
                                                   PULONG pinId) {
  Filter* f = LiveFilter(filter, "KsFilterCreatePinFactory");
  if (!OwnsMutex(&f->control)) KsBugCheck("KsFilterCreatePinFactory without holding the %s", kControlMutexName);
  if (!descriptor) return STATUS_INVALID_PARAMETER;
  return AddPinFactory(f, descriptor, pinId);
}
