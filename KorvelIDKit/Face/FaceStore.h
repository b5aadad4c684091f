#pragma once
// Enrolled face profiles and their file "enrollment.json".
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Support/Bytes.h"
#include "Support/FileIO.h"

struct FaceEmbedding {
    std::vector<float> vector;  // as the recogniser made it, not normalised
    friend bool operator==(const FaceEmbedding&, const FaceEmbedding&) = default;
};

struct FaceProfile {
    Uuid id;
    std::string name;
    std::vector<FaceEmbedding> embeddings;  // capture order
    double createdAt = 0;                   // seconds since 2001-01-01
    // The recogniser that made the embeddings (FaceRecognizer::engineName). Empty for profiles
    // enrolled before profiles carried it; the key is then absent from the file too.
    std::string engine;
    friend bool operator==(const FaceProfile&, const FaceProfile&) = default;
};

namespace FaceProfiles {
// The exact file form: a compact JSON array of profiles.
std::string encode(const std::vector<FaceProfile>& profiles);
// Throws JsonError when any profile lacks a key or has a value of the wrong type.
std::vector<FaceProfile> decode(std::string_view json);
}  // namespace FaceProfiles

class FaceStore {
public:
    static constexpr const char* fileName = "enrollment.json";
    static constexpr const char* queueLabel = "com.korvel.id.facestore";

    // Loads synchronously before returning.
    explicit FaceStore(std::filesystem::path fileURL, FileWriter& writer = FileWriter::system());

    // Replaces `profiles` with the file's content; a missing file gives an empty list silently,
    // a damaged one (cut, too large, a link or a pipe) an empty list, damaged() and an error line.
    void load();
    // Writes the whole list; false when it could not (logged). A damaged file is never replaced by
    // faces: the ones it holds would be lost for good. Only an empty list (every face removed, on
    // purpose) replaces it.
    bool save();
    bool damaged() const { return damaged_; }

    const std::filesystem::path& fileURL() const { return fileURL_; }

    // The profiles as they are now, for a scan on its own thread while the main thread may reset
    // them (these calls, load and save hold the store's lock).
    std::vector<FaceProfile> snapshot() const;
    bool empty() const;
    void add(FaceProfile profile);
    void clear();

    // Direct access for code that runs while no scan or enrolment can (start-up, the command line,
    // tests); anything that may overlap a scan uses the calls above.
    std::vector<FaceProfile> profiles;

private:
    std::filesystem::path fileURL_;
    FileWriter& writer_;
    std::mutex queue_;             // serialises load and save
    mutable std::mutex profiles_;  // guards `profiles` (taken after queue_)
    std::atomic<bool> damaged_ = false;
};
