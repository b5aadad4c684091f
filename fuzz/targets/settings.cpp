// "settings.json": whatever the file holds, decoding either fails with JsonError or gives a record
// that the writer turns into a file reading back to the same record.
#include "Face/Settings.h"
#include "FuzzSupport.h"
#include "Support/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Settings s;
    try {
        s = Settings::decode(Fuzz::text(data, size));
    } catch (const JsonError&) {
        return 0;
    }
    const std::string written = s.encode();
    Settings back;
    try {
        back = Settings::decode(written);
    } catch (const JsonError&) {
        Fuzz::fail("settings.json: the reader refuses what the writer wrote");
    }
    Fuzz::check(back == s, "settings.json: a record changed on its way through the file");
    Fuzz::check(back.encode() == written, "settings.json: writing is not stable");
    return 0;
}
