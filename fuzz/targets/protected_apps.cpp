// "protected-apps.json": any bytes either fail to decode or give a list that the writer turns into
// a file reading back to the same list; the store itself, loading such a file, refuses to write
// over it exactly when decoding failed.
#include "AppLock/ProtectedAppsStore.h"
#include "FuzzSupport.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto apps = ProtectedAppsStore::decode({data, size});
    std::optional<std::string> written;
    if (apps) {
        written = ProtectedAppsStore::encode(*apps);
        Fuzz::check(written.has_value(), "protected-apps.json: a decoded list cannot be written");
        const auto back = ProtectedAppsStore::decode(
            std::span(reinterpret_cast<const std::uint8_t*>(written->data()), written->size()));
        Fuzz::check(back == apps, "protected-apps.json: the list changed on its way through the file");
    }
    const auto file = Fuzz::scratch() / ProtectedAppsStore::fileName;
    Fuzz::writeFile(file, {data, size});
    ProtectedAppsStore store(file);
    Fuzz::check(store.loadFailed() == !apps.has_value(), "protected-apps.json: the store and the decoder disagree");
    Fuzz::check(!apps || store.apps() == *apps, "protected-apps.json: the store holds another list");
    // Removing an ID saves the list without it (the input may hold that ID too), unless loading
    // failed: then nothing is written.
    const std::string id = "fuzz.absent";
    store.remove(id);
    const Bytes after = Fuzz::readFile(file);
    if (apps) {
        std::erase_if(*apps, [&](const ProtectedApp& app) { return app.bundleIdentifier == id; });
        written = ProtectedAppsStore::encode(*apps);
    }
    Fuzz::check(apps ? Fuzz::text(after.data(), after.size()) == *written
                     : std::ranges::equal(after, std::span(data, size)),
                "protected-apps.json: the file holds other bytes after a save");
    return 0;
}
