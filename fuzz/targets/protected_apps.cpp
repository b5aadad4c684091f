// "protected-apps.json": any bytes either fail to decode or give a list that is written and read
// back unchanged, in the same order.
#include "AppLock/ProtectedAppsStore.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto apps = ProtectedAppsStore::decode({data, size});
    if (!apps) return 0;
    const auto written = ProtectedAppsStore::encode(*apps);
    if (!written) Fuzz::fail("protected-apps.json: a decoded list cannot be written");
    const auto back = ProtectedAppsStore::decode(
        {reinterpret_cast<const std::uint8_t*>(written->data()), written->size()});
    if (!back) Fuzz::fail("protected-apps.json: the reader refuses what the writer wrote");
    Fuzz::check(*back == *apps, "protected-apps.json: entries changed on their way through the file");
    return 0;
}
