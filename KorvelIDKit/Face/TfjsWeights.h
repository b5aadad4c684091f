#pragma once
// Network weights in the TensorFlow.js format: a JSON manifest (an array of groups, each naming its
// binary shard files and, in order, the tensors packed into them) plus the shards. Tensors are
// stored as float32, or quantised to uint8/uint16 with a per-tensor scale and minimum
// (value = q·scale + min); every tensor is turned into float32 on reading.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct TfjsTensor {
    std::vector<int> shape;
    std::vector<float> values;  // row-major over `shape`
};

class TfjsWeights {
public:
    // Reads the manifest and the shards it names (plain file names beside it). With `expectedBytes`
    // the shards together must have exactly that size. Throws FaceModelError naming the file at
    // fault: a missing or unreadable file, a manifest that is not of this form, shards of another
    // size than their tensors need, unsupported data types, names given twice.
    static TfjsWeights load(const std::filesystem::path& manifest, std::optional<std::uintmax_t> expectedBytes = {});

    // The tensor of that name, which must have exactly that shape; throws FaceModelError (naming the
    // manifest) otherwise.
    const TfjsTensor& tensor(const std::string& name, const std::vector<int>& shape) const;
    bool contains(const std::string& name) const { return tensors_.count(name) != 0; }
    std::size_t tensorCount() const { return tensors_.size(); }
    std::uintmax_t byteCount() const { return byteCount_; }
    const std::filesystem::path& manifestPath() const { return manifest_; }

private:
    std::filesystem::path manifest_;
    std::map<std::string, TfjsTensor> tensors_;
    std::uintmax_t byteCount_ = 0;
};
