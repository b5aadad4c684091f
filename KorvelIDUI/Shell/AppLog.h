#pragma once
// The application's diagnostic channel: subsystem "com.korvel.id.app", category "app".
#include "Support/Logger.h"

namespace AppLog {
const LogChannel& app();
}
