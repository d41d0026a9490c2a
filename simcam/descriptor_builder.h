// Writes the device and configuration descriptors of a CameraDescription, as the camera sends them.
#pragma once

#include <cstdint>
#include <vector>

#include "simcam/camera_description.h"

namespace kvz::simcam {

std::vector<uint8_t> BuildDeviceDescriptor(const CameraDescription& camera);
std::vector<uint8_t> BuildConfigurationDescriptor(const CameraDescription& camera);

// The YUY2 format GUID {32595559-0000-0010-8000-00AA00389B71}.
GUID Yuy2FormatGuid();

}  // namespace kvz::simcam
