#include "CallerPolicy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef KORVEL_HAVE_LOGIND
#include <systemd/sd-login.h>
#endif

namespace fs = std::filesystem;

namespace {

// The real uid of `pid` (who started it), from /proc; nothing when it is gone.
std::optional<uid_t> realUid(pid_t pid) {
    FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "re");
    if (!status) return std::nullopt;
    std::optional<uid_t> uid;
    char line[256];
    while (!uid && std::fgets(line, sizeof line, status)) {
        unsigned long value = 0;
        if (std::sscanf(line, "Uid: %lu", &value) == 1) uid = static_cast<uid_t>(value);
    }
    std::fclose(status);
    return uid;
}

// The PAM services whose root processes stand for someone at the seat: the login managers (their
// workers authenticate outside any session, also for the lock screen), the console's login and
// physlock, which locks the consoles as root.
bool isLoginService(std::string_view service) {
    for (std::string_view login :
         {"login", "gdm-password", "lightdm", "sddm", "greetd", "lxdm", "xdm", "ly", "slim", "lemurs", "emptty", "physlock"})
        if (service == login) return true;
    return false;
}

}  // namespace

std::optional<std::string> CallerPolicy::whyNotLocal(pid_t pid, std::string_view service) {
    // Started by root (sudo and su keep the user's real uid): only a login service speaks for
    // someone at the seat, in a session or not.
    const auto uid = realUid(pid);
    if (!uid) return "caller has gone";
    if (*uid == 0 && !isLoginService(service)) return "a system service of root's, not a login";
#ifdef KORVEL_HAVE_LOGIND
    char* session = nullptr;
    if (sd_pid_get_session(pid, &session) >= 0 && session) {
        std::optional<std::string> why;
        char* seat = nullptr;
        if (sd_session_is_remote(session) > 0) why = "remote session";
        else if (sd_session_get_seat(session, &seat) < 0 || !seat) why = "session without a local seat";
        // A session switched away from (another user's, behind fast user switching) or closing
        // has nobody at the camera on its behalf: whoever sits there is working in another one.
        else if (sd_session_is_active(session) <= 0) why = "session not in front on its seat";
        free(seat);
        free(session);
        return why;
    }
#endif
    // Outside any session: only what root started. A user's process can leave its session
    // (systemd-run --user), so it is not trusted to be at the seat.
    if (*uid != 0) return "caller is in no local session";
    return std::nullopt;
}

bool CallerPolicy::lidClosed() {
    std::error_code ec;
    for (const auto& lid : fs::directory_iterator("/proc/acpi/button/lid", ec)) {
        FILE* state = std::fopen((lid.path() / "state").c_str(), "re");
        if (!state) continue;
        char text[128] = {};
        const bool closed = std::fgets(text, sizeof text, state) && std::strstr(text, "closed");
        std::fclose(state);
        if (closed) return true;
    }
    return false;
}
