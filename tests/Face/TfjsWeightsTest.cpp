// The TensorFlow.js weights reader: dequantisation, and a clear error naming the file for every
// way a manifest or shard can be wrong.
#include <gtest/gtest.h>

#include <cstring>

#include "FaceEngineTestSupport.h"
#include "Face/FaceDescriptorNet.h"
#include "Face/FaceModelError.h"
#include "Face/TfjsWeights.h"

namespace {
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    TestSupport::writeText(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> floatBytes(std::initializer_list<float> values) {
    std::vector<std::uint8_t> out;
    for (float v : values) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(bits >> (8 * i)));
    }
    return out;
}

// A manifest with a uint8-quantised 2×3 tensor "a" and a float32 tensor "b" of 2 values.
const char* goodManifest = R"([{"paths":["w.bin"],"weights":[
  {"name":"a","shape":[2,3],"dtype":"float32","quantization":{"dtype":"uint8","scale":0.5,"min":-1.0}},
  {"name":"b","shape":[2],"dtype":"float32"}]}])";

std::vector<std::uint8_t> goodShard() {
    std::vector<std::uint8_t> bytes = {0, 1, 2, 3, 4, 255};
    const auto b = floatBytes({1.5f, -2.25f});
    bytes.insert(bytes.end(), b.begin(), b.end());
    return bytes;
}

// The FaceModelError text of loading `manifest` (with `shard` beside it), or "" when it loads.
std::string loadError(const std::string& manifest, const std::vector<std::uint8_t>& shard,
                      std::optional<std::uintmax_t> expected = {}) {
    TestSupport::TempDir dir;
    TestSupport::writeText(dir / "m.json", manifest);
    writeBytes(dir / "w.bin", shard);
    try {
        TfjsWeights::load(dir / "m.json", expected);
    } catch (const FaceModelError& e) {
        return e.what();
    }
    return "";
}
}  // namespace

TEST(TfjsWeightsTest, ReadsQuantisedAndFloatTensorsOfTheShapeAskedFor) {
    TestSupport::TempDir dir;
    TestSupport::writeText(dir / "m.json", goodManifest);
    writeBytes(dir / "w.bin", goodShard());
    const TfjsWeights w = TfjsWeights::load(dir / "m.json", 14);
    EXPECT_EQ(w.byteCount(), 14u);
    EXPECT_EQ(w.tensorCount(), 2u);
    EXPECT_EQ(w.tensor("a", {2, 3}).values, (std::vector<float>{-1.0f, -0.5f, 0.0f, 0.5f, 1.0f, 126.5f}));
    EXPECT_EQ(w.tensor("b", {2}).values, (std::vector<float>{1.5f, -2.25f}));
    EXPECT_THROW(w.tensor("a", {3, 2}), FaceModelError);
    EXPECT_THROW(w.tensor("c", {2}), FaceModelError);
    // Weights of another network do not make a descriptor network.
    EXPECT_THROW(FaceDescriptorNet::checkWeights(w), FaceModelError);
}

TEST(TfjsWeightsTest, EveryDefectIsReportedWithTheFileAtFault) {
    const auto shard = goodShard();
    const auto names = [](const std::string& error, const std::string& file) {
        return error.find(file) != std::string::npos && error.find("scripts/setup") != std::string::npos;
    };
    EXPECT_EQ(loadError(goodManifest, shard), "");
    // Shards of the wrong size.
    EXPECT_TRUE(names(loadError(goodManifest, {shard.begin(), shard.end() - 1}), "w.bin"));
    auto longer = shard;
    longer.push_back(0);
    EXPECT_TRUE(names(loadError(goodManifest, longer), "w.bin"));
    // Right shape, not the expected total.
    EXPECT_TRUE(names(loadError(goodManifest, shard, 15), "m.json"));
    // A shard named again past the expected total is refused before it is read.
    const auto twice = loadError(R"([{"paths":["w.bin","w.bin"],"weights":[]}])", shard, 14);
    EXPECT_TRUE(names(twice, "w.bin") && twice.find("cannot be read") != std::string::npos) << twice;
    // Manifests that are not JSON or not of this form (`group`: one group over w.bin).
    const auto group = [](const std::string& weights) { return R"([{"paths":["w.bin"],"weights":[)" + weights + "]}]"; };
    const std::string u8 = R"("quantization":{"dtype":"uint8","scale":1,"min":0})";
    const std::vector<std::string> bads = {
        "", "{", "{}", "[{}]", R"([{"paths":"w.bin","weights":[]}])",
        group(R"({"name":"a","shape":[0],"dtype":"float32"})"),
        group(R"({"name":"a","shape":[-3],"dtype":"float32"})"),
        group(R"({"name":"a","shape":[99999,99999,99999],"dtype":"float32"})"),
        group(R"({"name":"a","shape":[2],"dtype":"int32"})"),
        group(R"({"name":"a","shape":[14],"dtype":"float32","quantization":{"dtype":"float16","scale":1,"min":0}})"),
        group(R"({"name":"a","shape":[7],"dtype":"float32",)" + u8 + R"(},{"name":"a","shape":[7],"dtype":"float32",)" + u8 + "}"),
    };
    for (const auto& bad : bads)
        EXPECT_TRUE(names(loadError(bad, shard), "m.json")) << bad;
    // Shards only beside the manifest, and only ones that exist.
    EXPECT_TRUE(names(loadError(R"([{"paths":["../w.bin"],"weights":[]}])", shard), "m.json"));
    EXPECT_TRUE(names(loadError(R"([{"paths":["other.bin"],"weights":[]}])", shard), "other.bin"));
    // A missing manifest.
    try {
        TfjsWeights::load("/nonexistent/m.json");
        ADD_FAILURE();
    } catch (const FaceModelError& e) {
        EXPECT_TRUE(names(e.what(), "/nonexistent/m.json"));
    }
}
