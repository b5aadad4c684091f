#pragma once
// The program's version and build number, fixed by the build system.
#include <QString>

namespace AppInfo {
// "0.0.0" when the build did not provide one.
QString version();
// "0" when the build did not provide one.
QString build();
}  // namespace AppInfo
