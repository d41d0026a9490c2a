// The data of a camera-control or video-procamp request (plain or node layout), and the thin
// kernel-streaming handlers' way from an IRP to the handler object.
#pragma once
#include <wdm.h>
#include <ks.h>

namespace kvz {

class ControlHandler;
class CameraDeviceControls;

struct ControlPropertyData {
  LONG* value;
  ULONG* flags;
  ULONG* capabilities;
  ULONG size;  // bytes of the layout
};

// The node layout when the request's property header has KSPROPERTY_TYPE_TOPOLOGY (the class
// driver hands a get a data buffer that does not carry the client's header);
// STATUS_BUFFER_TOO_SMALL when data is shorter than its layout.
NTSTATUS MapControlPropertyData(const KSPROPERTY* property, PVOID data, ULONG dataLength, ControlPropertyData* out);
// Only the low 16 bits of a value that is set count, as a signed value.
inline SHORT SetValueOf(const ControlPropertyData& data) { return static_cast<SHORT>(*data.value & 0xFFFF); }

// The request's data buffer length.
ULONG PropertyDataLength(PIRP irp);

// Fills a get's data buffer before the answer is written: the class driver hands a get pool
// that holds none of the caller's bytes, and every byte reported goes back to the application.
// It starts as the caller's request, as far as the request reaches, and zeros past it, so the
// fields an answer leaves alone keep what the caller sent.
VOID StartGetAnswer(PIRP irp, const VOID* request, PVOID data);

// Calls the handler's Get or Set and stores the result in the IRP; STATUS_NOT_SUPPORTED when
// the device or its handler is missing.
using HandlerLookup = ControlHandler* (*)(CameraDeviceControls* device);
NTSTATUS DispatchControlProperty(PIRP irp, HandlerLookup lookup, PKSIDENTIFIER property, PVOID data, bool get);
// The same for the camera-control and video-procamp layouts, whose items leave the data size to
// it: a size query answers the layout's size (node or plain), a shorter buffer is
// STATUS_BUFFER_TOO_SMALL before the handler runs, a get answers the layout's size.
NTSTATUS DispatchControlValueProperty(PIRP irp, HandlerLookup lookup, PKSIDENTIFIER property, PVOID data, bool get);

}  // namespace kvz
