#include "System/SystemFace.h"

#include <string.h>

#include <cstdlib>

using namespace AuthProtocol;
using Clock = Connection::Clock;

namespace SystemFace {
namespace {

Reply replyFrom(const std::optional<Message>& m) {
    if (!m || m->type != Type::result) return {Outcome::unavailable, unreachableMessage};
    return {m->outcome().value_or(Outcome::failed), std::string(m->text(Field::message).value_or(""))};
}

}  // namespace

std::string socketPath() {
    const char* env = std::getenv("KORVEL_AUTHD_SOCKET");
    return env && *env ? env : "/run/korvel-id/authd.sock";
}

Status status(const std::string& user) {
    Status s;
    auto connection = Connection::open(socketPath());
    if (!connection || !connection->send(request(Type::status, user))) return s;
    const auto m = connection->receive(Clock::now() + std::chrono::seconds(5));
    if (!m || m->type != Type::result) return s;
    s.reachable = true;
    if (m->outcome() != Outcome::success) {
        s.message = std::string(m->text(Field::message).value_or(""));
        return s;
    }
    s.enrolled = m->number(Field::enrolled).value_or(0) == 1;
    s.name = std::string(m->text(Field::name).value_or(""));
    // Stored as seconds since 2001-01-01, as every face profile is.
    s.createdAt = static_cast<double>(m->number(Field::createdAt).value_or(0)) + 978307200.0;
    s.failedAttempts = static_cast<int>(m->number(Field::count).value_or(0));
    return s;
}

Reply enroll(const std::string& user, std::string password, const std::function<void(int, int)>& onProgress,
             std::stop_token stop) {
    Message ask = request(Type::enroll, user);
    if (!password.empty()) ask.set(Field::password, password);
    explicit_bzero(password.data(), password.size());
    auto connection = Connection::open(socketPath());
    const bool sent = connection && connection->send(ask);
    ask.wipe();
    if (!sent) return {Outcome::unavailable, unreachableMessage};
    // The capture window is 40 s, and the password check or another scan may come first.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (!stop.stop_requested()) {
        auto m = connection->receive(std::min(deadline, Clock::now() + std::chrono::milliseconds(200)));
        if (!m) {
            if (Clock::now() >= deadline || connection->peerClosed()) return replyFrom(std::nullopt);
            continue;
        }
        if (m->type == Type::progress && onProgress)
            onProgress(static_cast<int>(m->number(Field::count).value_or(0)), static_cast<int>(m->number(Field::total).value_or(0)));
        if (m->type == Type::result) return replyFrom(m);
    }
    return {Outcome::cancelled, {}};
}

Reply remove(const std::string& user) {
    auto connection = Connection::open(socketPath());
    if (!connection || !connection->send(request(Type::remove, user))) return {Outcome::unavailable, unreachableMessage};
    return replyFrom(connection->receive(Clock::now() + std::chrono::seconds(5)));
}

}  // namespace SystemFace
