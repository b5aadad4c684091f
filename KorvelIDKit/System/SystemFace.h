#pragma once
// The user's side of face authentication for the system (sudo, the login screen): status,
// enrolment and removal, asked of korvel-authd. The service keeps these faces in its own folder,
// apart from the application's; the application's enrolment never reaches it.
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "System/AuthProtocol.h"

namespace SystemFace {

// /run/korvel-id/authd.sock, or KORVEL_AUTHD_SOCKET (tests).
std::string socketPath();

struct Status {
    bool reachable = false;  // false: the service is not installed or not running
    bool enrolled = false;
    std::string name;
    double createdAt = 0;  // seconds since 1970
    int failedAttempts = 0;
    std::string message;  // the service's refusal, when it refused
};
// `user` empty: the caller's own account.
Status status(const std::string& user = {});

struct Reply {
    AuthProtocol::Outcome outcome = AuthProtocol::Outcome::unavailable;
    std::string message;  // the service's text; a fixed one when it could not be reached
    bool ok() const { return outcome == AuthProtocol::Outcome::success; }
};

// Captures the face for `user` (empty: the caller). `password` is the account's login password;
// root needs none. `onProgress(captured, total)` runs on the calling thread. Blocks for the whole
// capture; a stop request hangs up, which makes the service cancel it.
Reply enroll(const std::string& user, std::string password, const std::function<void(int, int)>& onProgress,
             std::stop_token stop = {});
Reply remove(const std::string& user = {});

inline constexpr const char* unreachableMessage = "The Korvel ID face service is not running.";

}  // namespace SystemFace
