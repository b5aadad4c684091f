#pragma once
// One connection to sway's IPC socket (the i3 protocol: "i3-ipc", a 32-bit payload length and a
// 32-bit message type in the machine's byte order, then JSON). A connection either makes requests,
// each waiting for its reply with a time-out, or, once subscribed, is read as events arrive.
#include <QByteArray>
#include <QJsonDocument>

#include <cstdint>
#include <optional>
#include <string>

class SwayIpc {
public:
    enum Type : std::uint32_t {
        runCommand = 0,
        subscribe = 2,
        getTree = 4,
        getSeats = 101,
        workspaceEvent = 0x80000000,
        windowEvent = 0x80000003,
        shutdownEvent = 0x80000006,
    };
    struct Message {
        std::uint32_t type = 0;
        QJsonDocument body;
    };

    SwayIpc() = default;
    ~SwayIpc();
    SwayIpc(const SwayIpc&) = delete;
    SwayIpc& operator=(const SwayIpc&) = delete;

    bool connect(const std::string& socketPath);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }

    // Sends a request and waits for its reply; none when sway did not answer in time (the
    // connection is then closed, as its replies would no longer match the requests).
    std::optional<QJsonDocument> request(Type type, const QByteArray& payload, int timeoutMs = 2000);
    // Reads what has arrived without waiting; false when the connection is gone.
    bool readAvailable();
    // The next complete message read so far.
    std::optional<Message> next();

private:
    bool send(Type type, const QByteArray& payload);

    int fd_ = -1;
    QByteArray buffer_;
};
