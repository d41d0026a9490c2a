// The capture stream's way from the camera's format to the one offered to the client: a size the
// format file added (nearest resize), a YUY2 width request (widened through RGB24 or narrowed),
// RGB24 (bottom-up, MJPEG decoded first), and MJPEG passed through or decoded, processed and
// encoded again. The converter owns its decoder, encoder and work buffers, calls down into the
// pin's post-processing (PinProcessing: the face offer, the frame processor, the picture's use)
// and writes into the client's buffer; the capture pin keeps the stream pointers, headers, times
// and counts, and answers only what it alone knows (FrameConverterHost).
#pragma once
#include <wdm.h>

namespace kvz {

namespace jpeg {
class MjpegDecoder;
struct JpegEncoder;
}  // namespace jpeg
class PinProcessing;

// What a conversion asks of the capture pin, in the order of the frame's way (which differs by
// the offered format, and which the pin's buffer and drop counts see).
class FrameConverterHost {
 public:
  // False drops the frame (the first after an acquire, the one a resume skips).
  virtual bool AcceptFrame() = 0;
  // Locks the client's next buffer: its data and room. False when none is queued; a locked
  // buffer the conversion leaves unfilled is given back by the pin.
  virtual bool LockClientBuffer(PUCHAR* data, ULONG* room) = 0;
  // The YUY2 width the client asks for with the locked buffer or its format (0: none).
  virtual ULONG WidthRequest() = 0;

 protected:
  FrameConverterHost() = default;
  ~FrameConverterHost() = default;
};

// The camera format a stream reads and the format it offers.
struct ConversionFormats {
  ULONG cameraSubtype;   // kSubtypeYuy2 or kSubtypeMjpg
  ULONG cameraWidth;
  ULONG cameraHeight;
  ULONG offeredSubtype;  // kSubtypeYuy2, kSubtypeRgb24 or kSubtypeMjpg
  ULONG offeredWidth;
  ULONG offeredHeight;
  bool untouched;        // one of the listed cameras: its MJPEG passes as it came
};

class FrameConverter {
 public:
  static constexpr ULONG kTagWork = 'Ptmp';

  // processing: the pin's post-processing, for the converter's life.
  explicit FrameConverter(PinProcessing* processing);
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // Takes the stream's formats (each probe). STATUS_INVALID_PARAMETER when the larger of the
  // offered RGB24 picture and the decoded camera picture does not fit 32 bits; the formats are
  // taken either way.
  NTSTATUS SetFormats(const ConversionFormats& formats);
  // Grows the work buffers for the formats' pictures (called after SetFormats succeeded).
  NTSTATUS PrepareWorkBuffers();
  // One camera frame of length bytes into the client's buffer: the bytes written, 0 to drop.
  // delivered: the frames delivered so far, which picks the frames offered to face detection.
  // PASSIVE_LEVEL, one frame at a time (the pin's processing mutex).
  ULONG Convert(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host);
  // Frees the decoder, encoder and work buffers (the pin's close); a later frame makes them again.
  VOID Release();

 private:
  // Grows both work buffers to size: a growth frees both, so a path grows them to all its
  // frame's needs before it takes any pointer into them.
  NTSTATUS EnsureWorkBuffers(ULONG size);
  ULONG ToRgb24(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host);
  ULONG ToYuy2(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host);
  ULONG ToMjpeg(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host);
  bool AtCameraSize() const;
  // The camera's picture before anything changes it, to face detection on every sixth frame: YUY2
  // at the camera's size (layout kPixelYuy2) or the camera's MJPEG stream (kPixelMjpeg).
  VOID OfferSourceFrame(const UCHAR* frame, ULONG length, LONG layout, LONGLONG delivered);
  // The camera frame at the offered size; null when it cannot be had. The work buffers must
  // already hold the offered picture.
  PUCHAR OfferedSizeFrame(PUCHAR frame);
  // Widens a YUY2 frame through RGB24; the result is in work1_.
  PUCHAR WidenYuy2Frame(const UCHAR* source, ULONG width, ULONG height, ULONG newWidth);
  // Decodes the camera's MJPEG picture into work1_ as YUY2 at the camera's size.
  bool DecodeMjpeg(const UCHAR* frame, ULONG length);
  // SOF0's size and, once per converter, DRI's interval (jpeg/jpeg_header.h).
  VOID ScanMjpegHeaders(const UCHAR* frame, ULONG length, ULONG* width, ULONG* height);

  PinProcessing* processing_;
  ConversionFormats formats_;
  jpeg::MjpegDecoder* decoder_;
  jpeg::JpegEncoder* encoder_;
  PUCHAR work1_;
  PUCHAR work2_;
  ULONG workSize1_;
  ULONG workSize2_;
  LONG scanRestartInterval_;
  LONG restartInterval_;
};

}  // namespace kvz
