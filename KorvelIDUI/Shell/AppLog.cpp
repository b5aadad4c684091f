#include "Shell/AppLog.h"

const LogChannel& AppLog::app() {
    static const LogChannel channel("com.korvel.id.app", "app");
    return channel;
}
