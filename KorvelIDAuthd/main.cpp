// korvel-authd: face authentication for PAM. Started by systemd through its socket unit, as its own
// unprivileged user in the "video" group; for tests, bound to a path given on the command line.
//   korvel-authd [--socket PATH] [--state DIR] [--config FILE] [--verify-socket PATH]
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <map>

#ifdef KORVEL_HAVE_LOGIND
#include <systemd/sd-daemon.h>
#endif

#include "AuthService.h"
#include "Identity/InstalledModels.h"
#include "Support/Logger.h"

namespace {

int bindSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    path.copy(address.sun_path, path.size());
    struct stat st {};
    // Only a stale socket of an earlier run is replaced, never another kind of file.
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path + " exists and is not a socket");
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(fd, 16) != 0)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options = {{"--state", "/var/lib/korvel-id"},
                                                   {"--config", "/etc/korvel-id/system.json"},
                                                   {"--verify-socket", "/run/korvel-id/verify.sock"},
                                                   {"--socket", ""}};
    for (int i = 1; i < argc; ++i) {
        if (!options.count(argv[i]) || i + 1 >= argc) {
            std::cerr << "usage: korvel-authd [--socket PATH] [--state DIR] [--config FILE] [--verify-socket PATH]\n";
            return 2;
        }
        options[argv[i]] = argv[i + 1];
        ++i;
    }
    ::umask(077);
    InstalledModels::use();
    try {
        // Refuses to start on a configuration or state another user could have written.
        SystemConfig config = SystemConfig::load(options["--config"]);
        SystemEnrollments enrollments(options["--state"]);
        int listenFd = -1;
#ifdef KORVEL_HAVE_LOGIND
        if (sd_listen_fds(1) == 1) listenFd = SD_LISTEN_FDS_START;
#endif
        if (listenFd < 0) {
            if (options["--socket"].empty()) throw std::runtime_error("not started by systemd and no --socket given");
            listenFd = bindSocket(options["--socket"]);
        }

        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts, so all inherit it
        const int stopFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
        ::signal(SIGPIPE, SIG_IGN);

        AuthService::Options serviceOptions;
        serviceOptions.verifySocket = options["--verify-socket"];
        AuthService service(std::move(config), enrollments, serviceOptions);
        service.serve(listenFd, stopFd);
    } catch (const std::exception& e) {
        Log::auth().error(strprintf("Face service not started: %s", e.what()));
        std::cerr << "korvel-authd: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
