// pam_korvel.so: face authentication through korvel-authd.
//   auth     sufficient  pam_korvel.so [socket=PATH]
//   account  optional    pam_korvel.so [socket=PATH]
// It is loaded into sudo, su, the login managers and screen lockers, so it stays small: no threads,
// no C++ runtime state kept between calls, nothing but libpam and the protocol unit. Whenever face
// authentication cannot even be tried, it answers PAM_AUTHINFO_UNAVAIL at once so the password
// module behind it asks as if it were not there.
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "System/AuthProtocol.h"

using namespace AuthProtocol;
using Clock = Connection::Clock;

#define KORVEL_PAM_EXPORT __attribute__((visibility("default")))

namespace {

constexpr const char* defaultSocket = "/run/korvel-id/authd.sock";
// Marks, for the account step, that this module did not let the user in: a password did.
constexpr const char* faceNotUsedKey = "korvel-id.face-not-used";

std::string socketPath(int argc, const char** argv) {
    for (int i = 0; i < argc; ++i)
        if (std::strncmp(argv[i], "socket=", 7) == 0) return argv[i] + 7;
    return defaultSocket;
}

void say(pam_handle_t* pamh, int flags, const std::string& text) {
    if (text.empty() || (flags & PAM_SILENT)) return;
    pam_info(pamh, "%s", text.c_str());
}

bool nonEmpty(const char* s) { return s && *s; }

// A session reached over the network: the camera would look at whoever sits at the machine.
bool remoteSession(pam_handle_t* pamh) {
    const void* rhost = nullptr;
    if (pam_get_item(pamh, PAM_RHOST, &rhost) == PAM_SUCCESS && rhost) {
        const char* host = static_cast<const char*>(rhost);
        if (*host && std::strcmp(host, "localhost") != 0 && std::strcmp(host, "127.0.0.1") != 0 && std::strcmp(host, "::1") != 0)
            return true;
    }
    for (const char* name : {"SSH_CONNECTION", "SSH_CLIENT", "SSH_TTY"})
        if (nonEmpty(pam_getenv(pamh, name)) || nonEmpty(std::getenv(name))) return true;
    return false;
}

void forget(pam_handle_t*, void* data, int) { std::free(data); }

int unavailable(pam_handle_t* pamh) {
    pam_set_data(pamh, faceNotUsedKey, strdup("1"), forget);
    return PAM_AUTHINFO_UNAVAIL;
}

}  // namespace

extern "C" {

KORVEL_PAM_EXPORT int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv) {
    const void* service = nullptr;
    pam_get_item(pamh, PAM_SERVICE, &service);
    const std::string serviceName = service ? static_cast<const char*>(service) : "";
    // The password check behind system enrolment must never be answered by a face.
    if (serviceName == "korvel-id") return PAM_IGNORE;
    const char* user = nullptr;
    if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || !nonEmpty(user)) return unavailable(pamh);
    if (remoteSession(pamh)) return unavailable(pamh);

    auto connection = Connection::open(socketPath(argc, argv));
    if (!connection) return unavailable(pamh);
    Message ask = request(Type::authenticate, user);
    ask.set(Field::service, serviceName.substr(0, 64));
    if (!connection->send(ask)) return unavailable(pamh);

    // Everything that rules face authentication out is answered before the camera starts; a scan
    // ends by the service's own time-out, well inside this one.
    auto deadline = Clock::now() + std::chrono::seconds(3);
    for (;;) {
        const auto reply = connection->receive(deadline);
        if (!reply) return unavailable(pamh);
        if (reply->type == Type::started) {
            say(pamh, flags, "Looking for " + std::string(reply->text(Field::name).value_or(user)) + " \u2014 blink to confirm");
            deadline = Clock::now() + std::chrono::seconds(90);
            continue;
        }
        if (reply->type != Type::result) continue;
        say(pamh, flags, std::string(reply->text(Field::message).value_or("")));
        switch (reply->outcome().value_or(Outcome::unavailable)) {
        case Outcome::success: return PAM_SUCCESS;
        case Outcome::failed:
        case Outcome::cancelled: pam_set_data(pamh, faceNotUsedKey, strdup("1"), forget); return PAM_AUTH_ERR;
        default: return unavailable(pamh);
        }
    }
}

KORVEL_PAM_EXPORT int pam_sm_setcred(pam_handle_t*, int, int, const char**) { return PAM_IGNORE; }

// The stack let the user in after this module did not: their password worked. The service counts
// that only from root's processes (sudo, su, login managers), where the user cannot fake it, and
// only from callers it would scan for.
KORVEL_PAM_EXPORT int pam_sm_acct_mgmt(pam_handle_t* pamh, int, int argc, const char** argv) {
    const void* marker = nullptr;
    if (pam_get_data(pamh, faceNotUsedKey, &marker) != PAM_SUCCESS || !marker) return PAM_IGNORE;
    const char* user = nullptr;
    if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || !nonEmpty(user)) return PAM_IGNORE;
    const void* service = nullptr;
    pam_get_item(pamh, PAM_SERVICE, &service);
    // The service judges the caller as for a scan: sshd, say, lets a key in after a wrong password.
    Message accepted = request(Type::passwordAccepted, user);
    accepted.set(Field::service, std::string(service ? static_cast<const char*>(service) : "").substr(0, 64));
    if (auto connection = Connection::open(socketPath(argc, argv))) {
        if (connection->send(accepted))
            connection->receive(Clock::now() + std::chrono::milliseconds(500));
    }
    return PAM_IGNORE;
}

}  // extern "C"
