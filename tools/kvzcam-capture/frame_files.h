// Delivered frames as files a person can open: PNG for YUY2 and RGB24 frames, the JPEG stream as
// delivered for MJPG, or the raw bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvz::capture {

// 8-bit RGB, top row first, from packed YUY2 (BT.601, studio range).
std::vector<uint8_t> Yuy2ToRgb(const uint8_t* yuy2, int width, int height);
// 8-bit RGB, top row first, from bottom-up BGR24.
std::vector<uint8_t> BottomUpBgrToRgb(const uint8_t* bgr, int width, int height);

bool WritePng(const std::string& path, const std::vector<uint8_t>& rgb, int width, int height, std::string* error);
bool WriteBytes(const std::string& path, const uint8_t* data, size_t size, std::string* error);

}  // namespace kvz::capture
