// The face service's socket protocol: bytes from any caller, cut into arbitrary pieces, either
// give messages that encode back to exactly the bytes they came from, or stop the reader.
#include "FuzzSupport.h"
#include "System/AuthProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace AuthProtocol;
    // The first byte chooses the piece size, so frames also arrive split at every boundary.
    const std::size_t piece = size ? data[0] % 17 + 1 : 1;
    const std::span<const std::uint8_t> bytes = size ? std::span(data + 1, size - 1) : std::span<const std::uint8_t>();
    Reader reader;
    std::vector<std::uint8_t> accepted;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (!reader.feed(bytes.subspan(at, std::min(piece, bytes.size() - at)))) break;
        while (auto m = reader.next()) {
            const auto again = encode(*m);
            accepted.insert(accepted.end(), again.begin(), again.end());
            const auto back = decode(again);
            Fuzz::check(back && *back == *m, "auth protocol: a decoded message does not survive its own encoding");
            if (m->outcome()) Fuzz::check(static_cast<int>(*m->outcome()) <= 4, "auth protocol: outcome out of range");
        }
        if (reader.failed()) break;
    }
    // Every accepted frame was canonical: the accepted messages re-encode to a prefix of the input.
    Fuzz::check(accepted.size() <= bytes.size() && std::equal(accepted.begin(), accepted.end(), bytes.begin()),
                "auth protocol: the reader accepted bytes that are not the one encoding of a message");
    return 0;
}
