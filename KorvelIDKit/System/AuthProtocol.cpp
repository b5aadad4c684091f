#include "System/AuthProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace AuthProtocol {
namespace {

bool knownType(std::uint8_t t) {
    return (t >= 1 && t <= 6) || (t >= 16 && t <= 18);
}

bool knownField(std::uint8_t f) { return f >= 1 && f <= 10; }

// Control bytes could rewrite a terminal (sudo prints our texts) or cut a C string (PAM).
bool cleanText(std::string_view s) {
    for (const unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

std::size_t be16(const std::uint8_t* p) { return static_cast<std::size_t>(p[0]) << 8 | p[1]; }

}  // namespace

std::optional<std::string_view> Message::text(Field f) const {
    const auto it = fields.find(f);
    if (it == fields.end()) return std::nullopt;
    return std::string_view(it->second);
}

std::optional<long long> Message::number(Field f) const {
    const auto t = text(f);
    if (!t || t->empty() || t->size() > 18) return std::nullopt;
    long long v = 0;
    for (const char c : *t) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

Message& Message::set(Field f, std::string value) {
    fields[f] = std::move(value);
    return *this;
}

Message& Message::set(Field f, long long value) { return set(f, std::to_string(value < 0 ? 0 : value)); }

std::optional<Outcome> Message::outcome() const {
    const auto n = number(Field::outcome);
    if (!n || *n > static_cast<long long>(Outcome::cancelled)) return std::nullopt;
    return static_cast<Outcome>(*n);
}

void Message::wipe() {
    for (auto& [tag, value] : fields) explicit_bzero(value.data(), value.size());
}

Message request(Type type, std::string_view user) {
    Message m;
    m.type = type;
    m.set(Field::user, std::string(user));
    return m;
}

Message result(Outcome outcome, std::string message) {
    Message m;
    m.type = Type::result;
    m.set(Field::outcome, static_cast<long long>(outcome));
    if (!message.empty()) m.set(Field::message, std::move(message));
    return m;
}

std::vector<std::uint8_t> encode(const Message& m) {
    std::size_t payload = 0;
    for (const auto& [tag, value] : m.fields) {
        if (value.size() > maxField) throw std::length_error("protocol field too long");
        payload += 3 + value.size();
    }
    if (payload > maxPayload) throw std::length_error("protocol message too long");
    std::vector<std::uint8_t> out;
    out.reserve(headerSize + payload);
    out.insert(out.end(), {'K', 'I', version, static_cast<std::uint8_t>(m.type), static_cast<std::uint8_t>(payload >> 8),
                           static_cast<std::uint8_t>(payload & 0xff)});
    for (const auto& [tag, value] : m.fields) {
        out.insert(out.end(), {static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(value.size() >> 8),
                               static_cast<std::uint8_t>(value.size() & 0xff)});
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

std::optional<Message> decode(std::span<const std::uint8_t> frame, std::string* error) {
    const auto fail = [error](const char* why) -> std::optional<Message> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (frame.size() < headerSize) return fail("short frame");
    if (frame[0] != 'K' || frame[1] != 'I') return fail("not a Korvel ID frame");
    if (frame[2] != version) return fail("unsupported protocol version");
    if (!knownType(frame[3])) return fail("unknown message type");
    const std::size_t length = be16(&frame[4]);
    if (length > maxPayload) return fail("frame too long");
    if (frame.size() != headerSize + length) return fail("frame length mismatch");
    Message m;
    m.type = static_cast<Type>(frame[3]);
    std::size_t at = headerSize;
    int lastTag = 0;
    while (at < frame.size()) {
        if (frame.size() - at < 3) return fail("truncated field");
        const std::uint8_t tag = frame[at];
        const std::size_t size = be16(&frame[at + 1]);
        at += 3;
        if (!knownField(tag)) return fail("unknown field");
        if (tag <= lastTag) return fail("fields out of order");
        if (size > maxField || size > frame.size() - at) return fail("field too long");
        std::string value(reinterpret_cast<const char*>(&frame[at]), size);
        if (!cleanText(value)) {
            explicit_bzero(value.data(), value.size());
            m.wipe();
            return fail("control bytes in a field");
        }
        m.fields.emplace(static_cast<Field>(tag), std::move(value));
        lastTag = tag;
        at += size;
    }
    return m;
}

Reader::~Reader() {
    if (!buffer_.empty()) explicit_bzero(buffer_.data(), buffer_.size());  // an empty vector may hold no storage at all
}

bool Reader::feed(std::span<const std::uint8_t> bytes) {
    if (failed()) return false;
    // Callers take every complete frame before feeding more, so two of the largest frames are
    // room enough; a peer that runs further ahead of our reading is misbehaving.
    if (buffer_.size() + bytes.size() > 2 * (headerSize + maxPayload)) {
        error_ = "too much unread data";
        return false;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
}

std::optional<Message> Reader::next() {
    if (failed() || buffer_.size() < headerSize) return std::nullopt;
    // The header alone tells whether the frame can be right, before the payload arrives.
    if (buffer_[0] != 'K' || buffer_[1] != 'I' || buffer_[2] != version || !knownType(buffer_[3]) ||
        be16(&buffer_[4]) > maxPayload) {
        error_ = "bad frame header";
        return std::nullopt;
    }
    const std::size_t total = headerSize + be16(&buffer_[4]);
    if (buffer_.size() < total) return std::nullopt;
    auto m = decode(std::span(buffer_).first(total), &error_);
    explicit_bzero(buffer_.data(), total);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    return m;
}

Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

Connection::Connection(Connection&& other) noexcept : fd_(other.fd_), reader_(std::move(other.reader_)) { other.fd_ = -1; }

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        reader_ = std::move(other.reader_);
        other.fd_ = -1;
    }
    return *this;
}

std::optional<Connection> Connection::open(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    Connection c(fd);
    // A Unix socket connects at once or fails at once; EAGAIN means the service's backlog is full.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return std::nullopt;
    return c;
}

bool Connection::send(const Message& m) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = encode(m);
    } catch (const std::length_error&) {
        return false;
    }
    std::size_t sent = 0;
    bool ok = true;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 2000) <= 0) {
                ok = false;
                break;
            }
        } else {
            ok = false;
            break;
        }
    }
    explicit_bzero(bytes.data(), bytes.size());
    return ok;
}

std::optional<Message> Connection::receive(Clock::time_point deadline) {
    std::uint8_t chunk[512];
    for (;;) {
        if (auto m = reader_.next()) return m;
        if (reader_.failed()) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
        if (ready < 0 && errno != EINTR) return std::nullopt;
        if (ready <= 0) continue;  // time-out or a signal: the loop checks the deadline
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return std::nullopt;
        const bool fed = reader_.feed(std::span(chunk, static_cast<std::size_t>(n)));
        explicit_bzero(chunk, sizeof chunk);
        if (!fed) return std::nullopt;
    }
}

bool Connection::peerClosed() const {
    pollfd p{fd_, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace AuthProtocol
