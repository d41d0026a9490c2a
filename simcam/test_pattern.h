// The moving test picture the camera sends: YUY2 of exactly width x height x 2 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvz::simcam {

// Colour bars that move one step per frame, with the frame number written into the first row's
// luma so that a test can tell frames apart (4 bytes, big-endian, in the first 4 luma samples).
std::vector<uint8_t> MakeYuy2Frame(uint16_t width, uint16_t height, uint64_t frameNumber);
uint32_t FrameNumberOfYuy2(const uint8_t* frame, size_t length);
// Writes the frame number as MakeYuy2Frame does.
void StampFrameNumber(std::vector<uint8_t>* yuy2, uint64_t frameNumber);

}  // namespace kvz::simcam
