#include "Face/TfjsWeights.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "Face/FaceModelError.h"
#include "Support/FileIO.h"
#include "Support/Json.h"

namespace {
std::string shapeText(const std::vector<int>& shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? "," : "") + std::to_string(shape[i]);
    return s + "]";
}

Bytes readFile(const std::filesystem::path& path, std::uint64_t maxBytes) {
    // Model files are installed data, not the user's data folder: a link is fine, and a shard is
    // megabytes, not the few a JSON store is capped at.
    ReadResult r = readWholeFile(path, {.maxBytes = maxBytes, .followLinks = true});
    if (r.status == ReadResult::Status::missing) throw FaceModelError(path, "the file does not exist");
    if (!r.ok()) throw FaceModelError(path, "the file cannot be read: " + r.error);
    return std::move(r.data);
}

float readFloat32(const std::uint8_t* p) {
    std::uint32_t bits = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                         std::uint32_t(p[3]) << 24;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
}  // namespace

TfjsWeights TfjsWeights::load(const std::filesystem::path& manifestPath, std::optional<std::uintmax_t> expectedBytes) {
    TfjsWeights w;
    w.manifest_ = manifestPath;
    const auto fail = [&](const std::string& reason) -> FaceModelError { return FaceModelError(manifestPath, reason); };
    const Bytes manifestBytes = readFile(manifestPath, std::uint64_t(1) << 20);
    nlohmann::json manifest;
    try {
        manifest = Json::parse(manifestBytes);
        Json::requireArray(manifest, "manifest");
    } catch (const JsonError& e) {
        throw fail(std::string("not a weights manifest: ") + e.what());
    }
    const std::filesystem::path dir = manifestPath.parent_path();
    constexpr std::uintmax_t maxElements = std::uintmax_t(1) << 28;

    // Shards are read one group at a time and checked against expectedBytes at the end.
    for (const auto& group : manifest) {
        Bytes data;
        std::filesystem::path lastShard = manifestPath;
        try {
            Json::requireObject(group, "weight group");
            for (const auto& p : Json::requireArray(Json::member(group, "paths"), "paths")) {
                const std::string name = Json::toString(p, "paths");
                // Shards live beside the manifest; anything else is not ours to read.
                if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
                    throw fail("shard name \"" + name + "\" is not a plain file name");
                lastShard = dir / name;
                // No more than the weights may hold in all: a manifest naming one large shard many
                // times is refused before it is read again.
                const std::uint64_t budget = expectedBytes.value_or(std::uint64_t(1) << 30);
                const std::uint64_t left = budget - std::min<std::uint64_t>(budget, w.byteCount_ + data.size());
                const Bytes shard = readFile(lastShard, left);
                data.insert(data.end(), shard.begin(), shard.end());
            }
            std::size_t offset = 0;
            for (const auto& entry : Json::requireArray(Json::member(group, "weights"), "weights")) {
                Json::requireObject(entry, "weight");
                const std::string name = Json::toString(Json::member(entry, "name"), "name");
                TfjsTensor t;
                std::uintmax_t count = 1;
                for (const auto& d : Json::requireArray(Json::member(entry, "shape"), "shape")) {
                    const std::int64_t dim = Json::toInt(d, "shape");
                    if (dim <= 0 || std::uintmax_t(dim) > maxElements / count)
                        throw fail("tensor \"" + name + "\" has an impossible shape");
                    t.shape.push_back(int(dim));
                    count *= std::uintmax_t(dim);
                }
                const std::string dtype = Json::toString(Json::member(entry, "dtype"), "dtype");
                if (dtype != "float32") throw fail("tensor \"" + name + "\" has unsupported type " + dtype);
                std::size_t width = 4;
                double scale = 1, minimum = 0;
                const nlohmann::json* quant = Json::optionalMember(entry, "quantization");
                if (quant) {
                    Json::requireObject(*quant, "quantization");
                    const std::string qtype = Json::toString(Json::member(*quant, "dtype"), "dtype");
                    if (qtype == "uint8") width = 1;
                    else if (qtype == "uint16") width = 2;
                    else throw fail("tensor \"" + name + "\" has unsupported quantisation " + qtype);
                    scale = Json::toDouble(Json::member(*quant, "scale"), "scale");
                    minimum = Json::toDouble(Json::member(*quant, "min"), "min");
                }
                const std::uintmax_t bytes = count * width;
                if (bytes > data.size() - offset)
                    throw FaceModelError(lastShard, "shorter than its tensors need (ends inside \"" + name + "\")");
                t.values.resize(std::size_t(count));
                const std::uint8_t* p = data.data() + offset;
                for (std::size_t i = 0; i < t.values.size(); ++i) {
                    if (!quant) t.values[i] = readFloat32(p + 4 * i);
                    else if (width == 1) t.values[i] = float(p[i] * scale + minimum);
                    else t.values[i] = float((p[2 * i] | p[2 * i + 1] << 8) * scale + minimum);
                    if (!std::isfinite(t.values[i])) throw fail("tensor \"" + name + "\" holds a value that is not finite");
                }
                offset += std::size_t(bytes);
                if (!w.tensors_.emplace(name, std::move(t)).second) throw fail("tensor \"" + name + "\" is listed twice");
            }
            if (offset != data.size())
                throw FaceModelError(lastShard, std::to_string(data.size() - offset) + " bytes more than its tensors need");
        } catch (const JsonError& e) {
            throw fail(std::string("not a weights manifest: ") + e.what());
        }
        w.byteCount_ += data.size();
    }
    if (expectedBytes && w.byteCount_ != *expectedBytes)
        throw fail("the weights hold " + std::to_string(w.byteCount_) + " bytes, expected " +
                   std::to_string(*expectedBytes));
    return w;
}

const TfjsTensor& TfjsWeights::tensor(const std::string& name, const std::vector<int>& shape) const {
    const auto it = tensors_.find(name);
    if (it == tensors_.end()) throw FaceModelError(manifest_, "tensor \"" + name + "\" is missing");
    if (it->second.shape != shape)
        throw FaceModelError(manifest_, "tensor \"" + name + "\" has shape " + shapeText(it->second.shape) +
                                            ", expected " + shapeText(shape));
    return it->second;
}
