// system enroll | status | remove: the face used for sudo, polkit and the login screen, kept by the
// korvel-authd service apart from the application's own enrolment.
#include <pwd.h>
#include <unistd.h>

#include <ctime>
#include <iostream>

#include "Commands.h"
#include "FaceEngine.h"
#include "Session.h"
#include "System/SystemFace.h"
#include "Support/SymmetricKey.h"

namespace Cli {
namespace {

std::string account(const Arguments& a) {
    if (auto user = a.value("--user")) return *user;
    const passwd* self = ::getpwuid(::getuid());
    if (!self) throw Failure("This account has no name.");
    return self->pw_name;
}

int finish(const SystemFace::Reply& r, const char* done) {
    if (r.ok()) {
        std::cout << done << "\n";
        return Exit::ok;
    }
    throw Failure(r.message.empty() ? "The face service refused." : r.message);
}

int enroll(const Arguments& a) {
    const std::string user = account(a);
    std::string password;
    // Root is trusted to name any account; anyone else proves they are the person.
    if (::getuid() != 0) {
        PasswordReader reader(a);
        SecretString typed = reader.read("Login password for " + user);
        password = typed.str();
    }
    std::cerr << "Look at the camera…\n";
    ProgressBar bar("Capturing", 8);
    const auto reply = SystemFace::enroll(user, std::move(password), [&bar](int captured, int) { bar.update(captured); },
                                          interruptToken());
    secureWipe(password);  // moved from, a short one still sits in the string's own buffer
    return finish(reply, "Face enrolled for sudo and the login screen.");
}

int status(const Arguments& a) {
    const auto s = SystemFace::status(a.value("--user").value_or(""));
    if (!s.reachable) throw Failure(SystemFace::unreachableMessage);
    if (!s.message.empty()) throw Failure(s.message);
    if (!s.enrolled) {
        std::cout << "No face is enrolled for system use.\n";
        return Exit::failed;
    }
    const std::time_t when = static_cast<std::time_t>(s.createdAt);
    char date[32] = "?";
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&when));
    std::cout << "Enrolled: " << printable(s.name) << " (since " << date << ")\n";
    if (s.failedAttempts > 0) std::cout << "Failed face attempts since the last password: " << s.failedAttempts << "\n";
    return Exit::ok;
}

int remove(const Arguments& a) { return finish(SystemFace::remove(a.value("--user").value_or("")), "Face removed from system use."); }

const char* userHelp =
    "  --user NAME       another account (root only; others may only name themselves)";

}  // namespace

std::vector<Command> systemCommands() {
    return {
        {{"system", "enroll"}, "[--user NAME] [--password-stdin]",
         "Enrol your face for sudo, polkit, the login screen and the screen lock.",
         std::string(userHelp) +
             "\n  --password-stdin  read the login password from standard input instead of the terminal\n"
             "Asks for your login password (root: none), then captures your face through the korvel-authd\n"
             "service. This enrolment is separate from the application's own.",
         {"--password-stdin"}, {"--user"}, 0, 0, enroll},
        {{"system", "status"}, "[--user NAME]", "Say whether a face is enrolled for system use.", userHelp, {}, {"--user"}, 0,
         0, status},
        {{"system", "remove"}, "[--user NAME]", "Remove the face enrolled for system use.", userHelp, {}, {"--user"}, 0, 0,
         remove},
    };
}

}  // namespace Cli
