#include "Platform/SwayIpc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {
constexpr char magic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr int headerSize = 6 + 4 + 4;
// A whole tree of a busy desktop is a few hundred kilobytes; anything far larger is not sway.
constexpr std::uint32_t maxPayload = 64u << 20;
}  // namespace

SwayIpc::~SwayIpc() { close(); }

bool SwayIpc::connect(const std::string& socketPath) {
    close();
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 && errno != EINPROGRESS) {
        close();
        return false;
    }
    return true;
}

void SwayIpc::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool SwayIpc::send(Type type, const QByteArray& payload) {
    if (fd_ < 0) return false;
    QByteArray message(magic, sizeof(magic));
    const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
    const std::uint32_t kind = type;
    message.append(reinterpret_cast<const char*>(&length), 4);
    message.append(reinterpret_cast<const char*>(&kind), 4);
    message.append(payload);
    qsizetype written = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (written < message.size()) {
        const ssize_t n = ::send(fd_, message.constData() + written, size_t(message.size() - written), MSG_NOSIGNAL);
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        close();
        return false;
    }
    return true;
}

bool SwayIpc::readAvailable() {
    if (fd_ < 0) return false;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
        if (n > 0) {
            buffer_.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        close();  // end of file or a real error: sway is gone
        return false;
    }
}

std::optional<SwayIpc::Message> SwayIpc::next() {
    if (buffer_.size() < headerSize) return std::nullopt;
    if (std::memcmp(buffer_.constData(), magic, sizeof(magic)) != 0) {
        close();  // out of step with the stream: nothing after this can be trusted
        return std::nullopt;
    }
    std::uint32_t length = 0, type = 0;
    std::memcpy(&length, buffer_.constData() + 6, 4);
    std::memcpy(&type, buffer_.constData() + 10, 4);
    if (length > maxPayload) {
        close();
        return std::nullopt;
    }
    if (buffer_.size() < headerSize + qsizetype(length)) return std::nullopt;
    Message message;
    message.type = type;
    message.body = QJsonDocument::fromJson(buffer_.mid(headerSize, length));
    buffer_.remove(0, headerSize + length);
    return message;
}

std::optional<QJsonDocument> SwayIpc::request(Type type, const QByteArray& payload, int timeoutMs) {
    if (!send(type, payload)) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto message = next()) {
            if (message->type == type) return message->body;
            continue;  // not ours (a request connection gets no events): skip it
        }
        if (fd_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) < 0 && errno != EINTR) break;
        if (!readAvailable()) return std::nullopt;
    }
    close();
    return std::nullopt;
}
