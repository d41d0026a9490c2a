// The overlay pictures of the picture effects: 640 x 480 24-bit BMP files in the system root,
// read whole, checked, and scaled to the frame with a key mask. The files are untrusted: a file
// is used only when its header describes exactly that picture and it holds every pixel byte.
#pragma once
#include <wdm.h>

namespace kvz {

constexpr LONG kOverlayWidth = 640;
constexpr LONG kOverlayHeight = 480;
constexpr ULONG kOverlayPixelOffset = 54;  // 14-byte file header + 40-byte info header
constexpr ULONG kOverlayRowBytes = kOverlayWidth * 3;
constexpr ULONG kOverlayFileBytes = kOverlayPixelOffset + kOverlayRowBytes * kOverlayHeight;  // 921654

// The canvas texture: an 8-bit picture 100 samples wide whose pixels follow a 1078-byte header
// and palette; the canvas reads its first 9078 bytes.
constexpr ULONG kTextureFileBytes = 9078;
constexpr ULONG kTexturePixelOffset = 1078;
constexpr ULONG kTextureRowBytes = 100;

// Key colours: an overlay pixel with blue >= 151 and green, red <= 9 lets the frame through; the
// magnifier's window is pure (255, 0, 0) and its lens (254, 0, 0) (blue, green, red).
constexpr UCHAR kKeyBlueMin = 151;
constexpr UCHAR kKeyOtherMax = 9;
constexpr UCHAR kWindowBlue = 255;
constexpr UCHAR kLensBlue = 254;

// Reads up to length bytes from the start of the file (a path such as "\SystemRoot\x.bmp").
// Returns the open status when the file cannot be opened, else the read status: an empty file
// gives STATUS_END_OF_FILE; a shorter file succeeds with *bytesRead telling how much came.
NTSTATUS ReadSystemFile(PCWSTR path, UCHAR* buffer, ULONG length, ULONG* bytesRead);

// STATUS_SUCCESS when the file bytes are a whole 640 x 480 bottom-up 24-bit uncompressed BMP
// with its pixels at offset 54; STATUS_END_OF_FILE when it is shorter than that, and
// STATUS_NOT_SUPPORTED for a picture of another kind.
NTSTATUS CheckOverlayBitmap(const UCHAR* file, ULONG length);

// From a checked file: the picture scaled to width x height (RGB24, row i and column j from the
// picture's row 480 i / height and column 640 j / width), followed by the key planes.
// ScaleOverlayBitmap writes width x height x 4 bytes (one mask: 255 where the frame shows
// through); CopyScaledPicture writes width x height x 5 (the window mask, then the lens mask).
VOID ScaleOverlayBitmap(const UCHAR* file, UCHAR* picture, LONG width, LONG height);
VOID CopyScaledPicture(const UCHAR* file, UCHAR* picture, LONG width, LONG height);

// Reads, checks and scales the picture into buffer (size bytes, at least width x height x 4;
// format must be RGB24 for the texture). The 921654-byte file buffer (tag PhSr / MgSr) lives
// only during the call.
NTSTATUS LoadOverlayBitmap(UCHAR* buffer, SIZE_T size, PCWSTR path, LONG width, LONG height, LONG format);
NTSTATUS LoadTextureBitmap(UCHAR* buffer, SIZE_T size, PCWSTR path, LONG width, LONG height, LONG format);

}  // namespace kvz
