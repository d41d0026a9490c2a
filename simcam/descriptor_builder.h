// Writes the device and configuration descriptors of a CameraSpec, as the camera sends them.
#pragma once

#include <cstdint>
#include <vector>

#include "simcam/camera_spec.h"

namespace kvz::simcam {

std::vector<uint8_t> BuildDeviceDescriptor(const CameraSpec& spec);
std::vector<uint8_t> BuildConfigurationDescriptor(const CameraSpec& spec);

// The YUY2 format GUID {32595559-0000-0010-8000-00AA00389B71}.
GUID Yuy2FormatGuid();

}  // namespace kvz::simcam
