#pragma once
// Camera access on Linux: there is no permission prompt; a capture node that exists but cannot be
// opened means the user lacks the right to it (typically membership of the "video" group).
#include <filesystem>

#include "Face/CameraAccess.h"
#include "Platform/CameraDevices.h"

namespace CameraPermission {
CameraAccess check(const std::filesystem::path& devRoot = "/dev",
                   const CameraDevices::DeviceAccess& access = CameraDevices::DeviceAccess::system());
// The same as a CameraAccessCheck for the V4L2 cameras under /dev.
CameraAccessCheck v4l2();
}  // namespace CameraPermission
