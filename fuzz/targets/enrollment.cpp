// "enrollment.json": any bytes either fail to decode with JsonError or give profiles that are
// written and read back unchanged (names, every float, the timestamps).
#include "Face/FaceStore.h"
#include "FuzzSupport.h"
#include "Support/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<FaceProfile> profiles;
    try {
        profiles = FaceProfiles::decode(Fuzz::text(data, size));
    } catch (const JsonError&) {
        return 0;
    }
    const std::string written = FaceProfiles::encode(profiles);
    std::vector<FaceProfile> back;
    try {
        back = FaceProfiles::decode(written);
    } catch (const JsonError&) {
        Fuzz::fail("enrollment.json: the reader refuses what the writer wrote");
    }
    Fuzz::check(back == profiles, "enrollment.json: profiles changed on their way through the file");
    return 0;
}
