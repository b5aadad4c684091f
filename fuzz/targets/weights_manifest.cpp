// The face-model weight manifest reader. The input is the manifest, then a NUL byte, then the bytes
// of the shard "s.bin" beside it. Reading gives the tensors or fails with FaceModelError; no other
// exception, no read outside the folder.
#include "Face/FaceModelError.h"
#include "Face/TfjsWeights.h"
#include "FuzzSupport.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto dir = Fuzz::scratch() / "model";
    static const bool made = std::filesystem::create_directories(dir);
    (void)made;
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t manifestSize = nul ? std::size_t(nul - data) : size;
    const std::span<const std::uint8_t> shard = nul ? std::span(nul + 1, data + size) : std::span<const std::uint8_t>();
    Fuzz::writeFile(dir / "manifest.json", {data, manifestSize});
    Fuzz::writeFile(dir / "s.bin", shard);

    try {
        const auto weights = TfjsWeights::load(dir / "manifest.json");
        Fuzz::check(weights.tensorCount() > 0 || weights.byteCount() == 0,
                    "weights: bytes read for no tensor");
    } catch (const FaceModelError&) {
    }
    return 0;
}
