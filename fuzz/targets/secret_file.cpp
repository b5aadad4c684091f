// The file secret store: any bytes as its file. Reading either lists items or reports the file as
// damaged (and then refuses to write over it). After a store into a readable file, every earlier
// item is still there, byte for byte, next to the new one.
#include "FuzzSupport.h"
#include "Platform/FileSecretStore.h"

#include <algorithm>

namespace {
bool same(const FileSecretStore::Item& a, const FileSecretStore::Item& b) {
    return a.service == b.service && a.account == b.account && a.value == b.value;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto dir = Fuzz::scratch() / "Secrets";
    static const bool made = std::filesystem::create_directories(dir);
    (void)made;
    const auto file = dir / FileSecretStore::fileName;
    Fuzz::writeFile(file, {data, size});

    FileSecretStore store(file);
    const auto before = store.allItems();
    (void)store.lookup("com.korvel.id.master", "salt");
    static const std::uint8_t value[] = {0, 1, 2, 0xff};
    const auto written = store.store("fuzz.service", "fuzz.account", value);
    if (!before) {
        Fuzz::check(!written.ok(), "secret file: a damaged file was written over");
        Fuzz::check(std::ranges::equal(Fuzz::readFile(file), std::span(data, size)), "secret file: a damaged file changed");
        return 0;
    }
    Fuzz::check(written.ok(), "secret file: storing into a readable file failed");
    const auto after = store.allItems();
    Fuzz::check(after.has_value(), "secret file: the reader refuses what the writer wrote");
    for (const auto& old : *before) {
        if (old.service == "fuzz.service" && old.account == "fuzz.account") continue;
        Fuzz::check(std::ranges::any_of(*after, [&](const auto& i) { return same(i, old); }),
                    "secret file: an item was lost by a store");
    }
    const auto found = store.lookup("fuzz.service", "fuzz.account");
    Fuzz::check(found.found() && std::ranges::equal(found.value, value), "secret file: the stored value is not read back");
    return 0;
}
