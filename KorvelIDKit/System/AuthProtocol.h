#pragma once
// The messages between the face service (korvel-authd) and its callers: the PAM module, the
// command line and the settings page. Plain C++ and POSIX only: the PAM module compiles this unit
// into sudo and the login managers, so it may bring in nothing else.
//
// A frame is a 6-byte header — 'K' 'I', version, type, payload length (16 bits, big-endian) — and
// a payload of fields: tag (1 byte), length (16 bits, big-endian), bytes. Fields come in rising
// tag order, each at most once, so every message has exactly one encoding. The reader treats every
// byte as hostile: a wrong magic, version, type or tag, an oversized frame or field, fields out of
// order, a field that does not fit, or text with control bytes ends the connection.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace AuthProtocol {

inline constexpr std::uint8_t version = 1;
inline constexpr std::size_t headerSize = 6;
inline constexpr std::size_t maxPayload = 1024;
inline constexpr std::size_t maxField = 512;
// The enrolment refusal for a wrong login password; the settings window shows its own text for it.
inline constexpr const char* incorrectPassword = "Incorrect password.";

enum class Type : std::uint8_t {
    // Caller → service.
    authenticate = 1,      // user, service: one face scan for `user`
    passwordAccepted = 2,  // user: the password stack just admitted `user` (root callers only)
    enroll = 3,            // user, password (not from root): capture and store `user`'s face
    status = 4,            // user: is `user` enrolled
    remove = 5,            // user: forget `user`'s face
    verifyPassword = 6,    // user, password: service → password helper
    // Service → caller.
    started = 16,   // name: the scan or enrolment is taken and waits for the camera or has it
    progress = 17,  // count, total: enrolment samples
    result = 18,    // outcome, message, name, enrolled
};

enum class Field : std::uint8_t {
    user = 1,
    service = 2,
    password = 3,
    name = 4,
    outcome = 5,
    message = 6,
    count = 7,
    total = 8,
    enrolled = 9,
    createdAt = 10,
};

// How a request ended. `unavailable` is PAM's "use another way": nothing was tried.
enum class Outcome : std::uint8_t { success = 0, failed = 1, unavailable = 2, refused = 3, cancelled = 4 };

struct Message {
    Type type = Type::result;
    std::map<Field, std::string> fields;

    std::optional<std::string_view> text(Field f) const;
    std::optional<long long> number(Field f) const;  // decimal digits only, at most 18
    Message& set(Field f, std::string value);
    Message& set(Field f, long long value);
    std::optional<Outcome> outcome() const;
    // Zeroes every field's bytes (a password) before the strings are freed.
    void wipe();
    friend bool operator==(const Message&, const Message&) = default;
};

Message request(Type type, std::string_view user);
Message result(Outcome outcome, std::string message = {});

// The one encoding of `m`. Throws std::length_error when a field or the payload is over its cap.
std::vector<std::uint8_t> encode(const Message& m);

// Reassembles frames from bytes as they arrive. After an error the reader stays failed.
class Reader {
public:
    // Takes what arrived; false once the stream is known to be bad.
    bool feed(std::span<const std::uint8_t> bytes);
    // The next complete message, if one is there.
    std::optional<Message> next();
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    ~Reader();

private:
    std::vector<std::uint8_t> buffer_;
    std::string error_;
};

// Decodes exactly one frame; nothing (with `error` set when given) when the bytes are not one.
std::optional<Message> decode(std::span<const std::uint8_t> frame, std::string* error = nullptr);

// A connected stream socket with deadlines. Never raises SIGPIPE.
class Connection {
public:
    using Clock = std::chrono::steady_clock;
    Connection() = default;
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection();
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects without waiting: a missing or refusing socket fails at once. Nothing on failure.
    static std::optional<Connection> open(const std::string& path);
    bool send(const Message& m);
    // The next message before `deadline`; nothing on time-out, hang-up or bad bytes.
    std::optional<Message> receive(Clock::time_point deadline);
    // True when the peer has closed its end (checked without waiting).
    bool peerClosed() const;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    Reader reader_;
};

}  // namespace AuthProtocol
