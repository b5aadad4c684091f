// korvel-id-verify: checks one login password for the face service, through PAM service
// "korvel-id". The service runs as its own unprivileged user and cannot read the shadow file; this
// helper runs as root, one short process per request (systemd's Accept=yes socket, reachable only
// by the service's group), so no root process stays running.
//   korvel-id-verify                                    (systemd: the connection is descriptor 3)
//   korvel-id-verify --listen PATH [--pam-confdir DIR]  (tests: serves connections one by one)
#include <security/pam_appl.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#ifdef KORVEL_HAVE_LOGIND
#include <systemd/sd-daemon.h>
#endif

#include "System/AuthProtocol.h"

using namespace AuthProtocol;

namespace {

const char* g_confdir = nullptr;  // a private PAM configuration folder (tests)

struct Secret {
    std::string password;
};

int answer(int count, const pam_message** messages, pam_response** responses, void* data) {
    auto* secret = static_cast<Secret*>(data);
    auto* out = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!out) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
            out[i].resp = strdup(secret->password.c_str());
        } else if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) {
            // Only the password is known here; any other question cannot be answered.
            for (int j = 0; j < i; ++j)
                if (out[j].resp) {
                    explicit_bzero(out[j].resp, std::strlen(out[j].resp));
                    std::free(out[j].resp);
                }
            std::free(out);
            return PAM_CONV_ERR;
        }
    }
    *responses = out;
    return PAM_SUCCESS;
}

bool verify(const std::string& user, const std::string& password) {
    Secret secret{password};
    pam_conv conversation{answer, &secret};
    pam_handle_t* handle = nullptr;
    if (pam_start_confdir("korvel-id", user.c_str(), &conversation, g_confdir, &handle) != PAM_SUCCESS) return false;
    int status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle, PAM_SILENT);
    pam_end(handle, status);
    explicit_bzero(secret.password.data(), secret.password.size());
    return status == PAM_SUCCESS;
}

// Only root and the face service's own user may ask.
bool allowed(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return false;
    if (cred.uid == 0) return true;
    const passwd* service = ::getpwnam("korvel-id");
    return service && service->pw_uid == cred.uid;
}

void serve(int fd) {
    Connection connection(fd);
    if (!allowed(fd)) return;
    auto request = connection.receive(Connection::Clock::now() + std::chrono::seconds(5));
    if (!request || request->type != Type::verifyPassword) return;
    const std::string user(request->text(Field::user).value_or(""));
    const bool ok = !user.empty() && request->text(Field::password) && verify(user, std::string(*request->text(Field::password)));
    request->wipe();
    syslog(LOG_AUTHPRIV | LOG_INFO, "password check for %s: %s", user.c_str(), ok ? "accepted" : "refused");
    connection.send(result(ok ? Outcome::success : Outcome::failed));
}

}  // namespace

int main(int argc, char** argv) {
    std::string listenPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--listen") == 0) listenPath = argv[i + 1];
        else if (std::strcmp(argv[i], "--pam-confdir") == 0) g_confdir = argv[i + 1];
        else return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::openlog("korvel-id-verify", LOG_PID, LOG_AUTHPRIV);
    if (listenPath.empty()) {
#ifdef KORVEL_HAVE_LOGIND
        if (sd_listen_fds(1) == 1) {
            serve(SD_LISTEN_FDS_START);
            return 0;
        }
#endif
        std::cerr << "usage: korvel-id-verify [--listen PATH [--pam-confdir DIR]]\n";
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listenPath.size() >= sizeof address.sun_path) return 2;
    listenPath.copy(address.sun_path, listenPath.size());
    ::unlink(listenPath.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(listenPath.c_str(), 0600) != 0 || ::listen(listener, 4) != 0)
        return 1;
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) serve(fd);
    }
}
