#include "Platform/CameraPermission.h"

namespace CameraPermission {

CameraAccess check(const std::filesystem::path& devRoot, const CameraDevices::DeviceAccess& access) {
    try {
        CameraDevices::choose(CameraDevices::discover(devRoot, access));
        return CameraAccess::granted;
    } catch (const CameraError& e) {
        return e.kind() == CameraError::Kind::notAuthorized ? CameraAccess::denied : CameraAccess::unavailable;
    }
}

CameraAccessCheck v4l2() {
    return [] { return check(); };
}

}  // namespace CameraPermission
