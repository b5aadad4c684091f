#pragma once
// Helpers shared by face-calibrate and face-eval: folders of identity folders, photos, CSV files,
// and the face engine as both run it on photos.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"

namespace FaceData {
namespace fs = std::filesystem;

// "2.jpg" before "10.jpg": runs of digits compare by value.
inline bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            std::string x = a.substr(i, ie - i), y = b.substr(j, je - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

inline bool isPhoto(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".png" || ext == ".bmp" || ext == ".webp" || ext == ".tif" ||
           ext == ".tiff" || ext == ".pgm" || ext == ".ppm";
}

inline std::vector<fs::path> sortedEntries(const fs::path& dir, bool directories) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (directories ? e.is_directory(ec) : (e.is_regular_file(ec) && isPhoto(e.path()))) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end(),
              [](const fs::path& a, const fs::path& b) { return naturalLess(a.filename().string(), b.filename().string()); });
    return out;
}

struct Identity {
    std::string name;    // the folder's name
    fs::path folder;
    std::vector<fs::path> photos;  // natural order
};

// The identity folders of `root` (each a folder of photos), in natural order; empty folders skipped.
inline std::vector<Identity> identities(const fs::path& root) {
    std::vector<Identity> out;
    for (const auto& dir : sortedEntries(root, true)) {
        Identity id{dir.filename().string(), dir, sortedEntries(dir, false)};
        if (!id.photos.empty()) out.push_back(std::move(id));
    }
    return out;
}

// A CSV file with a header row; fields may be quoted ("a, b" and "" for a quote).
struct Csv {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    int column(const std::string& name) const {
        for (std::size_t i = 0; i < header.size(); ++i)
            if (header[i] == name) return int(i);
        return -1;
    }
    std::string field(const std::vector<std::string>& row, const std::string& name) const {
        const int c = column(name);
        return c >= 0 && std::size_t(c) < row.size() ? row[std::size_t(c)] : std::string();
    }
};

inline std::vector<std::string> splitCsvLine(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += '"', ++i;
            else if (c == '"') quoted = false;
            else fields.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

inline std::optional<Csv> readCsv(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    Csv csv;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (line.empty() || line == "\r") continue;
        auto fields = splitCsvLine(line);
        if (first) csv.header = std::move(fields), first = false;
        else csv.rows.push_back(std::move(fields));
    }
    if (first) return std::nullopt;
    return csv;
}

inline std::optional<long> toLong(const std::string& s) {
    try {
        std::size_t used = 0;
        const long v = std::stol(s, &used);
        if (used == s.size()) return v;
    } catch (...) {
    }
    return std::nullopt;
}

// The detector (photos of any size: small faces are looked for again at twice the size; photos are
// unrelated, so no face is followed from one to the next) and the
// recogniser, loaded; nothing, with the reason printed after `tool`, when a model cannot be used.
struct PhotoEngine {
    FaceDetector detector{[] {
        FaceDetector::Options options;
        options.upsampleWhenNothingFound = true;
        options.followFace = false;
        return options;
    }()};
    DescriptorRecognizer recognizer;
};
inline std::unique_ptr<PhotoEngine> loadPhotoEngine(const char* tool) {
    auto engine = std::make_unique<PhotoEngine>();
    for (const auto& error : {engine->detector.loadError(), engine->recognizer.loadError()}) {
        if (error) {
            std::fprintf(stderr, "%s: %s\n", tool, error->c_str());
            return nullptr;
        }
    }
    return engine;
}
}  // namespace FaceData
