#pragma once
// Helpers shared by face-calibrate, face-eval and the scan tests: folders of identity folders,
// photos, CSV files, the face engine as the tools run it on photos, and the photo attack clips.
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

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <utility>

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

// ---- the photo attack: a still moved as a flat plane in front of a camera

// A photo moved as a plane in front of a camera: the amount of one motion kind at a moment, as
// a homography from the photo (pixels, centred) to the frame.
enum class Motion { tilt, turn, roll, squeeze, distance, combined };
inline constexpr Motion motionKinds[] = {Motion::tilt, Motion::turn, Motion::roll, Motion::squeeze, Motion::distance, Motion::combined};
inline const char* motionName(Motion m) {
    switch (m) {
    case Motion::tilt: return "tilted (horizontal axis)";
    case Motion::turn: return "turned (vertical axis)";
    case Motion::roll: return "rolled (in the image)";
    case Motion::squeeze: return "squeezed vertically";
    case Motion::distance: return "closer and further";
    case Motion::combined: return "tilt + turn + squeeze + closer";
    }
    return "";
}

// Pinhole camera with a 640 px focal length (a webcam's ~53° across 640 px); the photo stands
// at the distance where it shows at its own size. `depth` 1 is the rest distance.
inline cv::Matx33d planeToFrame(double tiltX, double tiltY, double rollZ, double squeezeY, double depth, cv::Size frame) {
    const double f = 640;
    const cv::Matx33d rx(1, 0, 0, 0, std::cos(tiltX), -std::sin(tiltX), 0, std::sin(tiltX), std::cos(tiltX));
    const cv::Matx33d ry(std::cos(tiltY), 0, std::sin(tiltY), 0, 1, 0, -std::sin(tiltY), 0, std::cos(tiltY));
    const cv::Matx33d rz(std::cos(rollZ), -std::sin(rollZ), 0, std::sin(rollZ), std::cos(rollZ), 0, 0, 0, 1);
    const cv::Matx33d r = rz * ry * rx;
    // Columns r1, r2 (the plane's axes) and the translation to the plane's centre.
    const cv::Matx33d rt(r(0, 0), r(0, 1), 0, r(1, 0), r(1, 1), 0, r(2, 0), r(2, 1), f * depth);
    const cv::Matx33d k(f, 0, frame.width / 2.0, 0, f, frame.height / 2.0, 0, 0, 1);
    const cv::Matx33d squeeze(1, 0, 0, 0, squeezeY, 0, 0, 0, 1);
    return k * rt * squeeze;
}

// One dip of `kind` at amount a ∈ [0, 1] (0: at rest); `sign` alternates the direction of
// successive dips, `peak` ∈ [0, 1] picks how far this dip goes within the kind's range.
inline cv::Matx33d motionAt(Motion kind, double a, int sign, double peak, cv::Size frame) {
    const double deg = M_PI / 180;
    const double tilt = sign * a * (35 + 35 * peak) * deg;  // 35°…70°: beyond ~60° the face is lost
    switch (kind) {
    case Motion::tilt: return planeToFrame(tilt, 0, 0, 1, 1, frame);
    case Motion::turn: return planeToFrame(0, tilt, 0, 1, 1, frame);
    case Motion::roll: return planeToFrame(0, 0, sign * a * (15 + 20 * peak) * deg, 1, 1, frame);
    case Motion::squeeze: return planeToFrame(0, 0, 0, 1 - a * (0.3 + 0.2 * peak), 1, frame);
    case Motion::distance: return planeToFrame(0, 0, 0, 1, sign > 0 ? 1 - a * (0.25 + 0.15 * peak) : 1 + a * (0.4 + 0.4 * peak), frame);
    case Motion::combined:
        return planeToFrame(a * (30 + 25 * peak) * deg, sign * a * 20 * deg, sign * a * 8 * deg, 1 - a * 0.15,
                            1 - a * 0.2, frame);
    }
    return cv::Matx33d::eye();
}

// A still photo held to a 25 fps camera: 0.4 s at rest, then dips lasting 0.15, 0.3, 0.45 and 0.6 s
// (a raised-cosine out and back), each followed by 0.3 s at rest, then the same again in the other
// direction. `seed` varies the peaks from photo to photo. Per frame, the map from the photo's
// pixels to the frame's (attackFrameSize).
inline const cv::Size attackFrameSize(480, 360);
inline std::vector<cv::Matx33d> attackMotion(const cv::Mat& photo, Motion kind, unsigned seed, double fps) {
    const cv::Size frame = attackFrameSize;
    // The photo shown 300 px high at rest, on a plain wall.
    const double scale = 300.0 / photo.rows;
    const cv::Matx33d fromPhoto(scale, 0, -scale * photo.cols / 2.0, 0, scale, -scale * photo.rows / 2.0, 0, 0, 1);
    std::vector<std::pair<double, double>> dips;  // (duration, peak)
    const double durations[] = {0.15, 0.3, 0.45, 0.6};
    for (int i = 0; i < 8; ++i) dips.emplace_back(durations[i % 4], double((seed + unsigned(i) * 3) % 4) / 3.0);
    std::vector<cv::Matx33d> maps;
    const auto rest = [&](double seconds) {
        for (int n = int(std::lround(seconds * fps)); n > 0; --n) maps.push_back(motionAt(kind, 0, 1, 0, frame) * fromPhoto);
    };
    rest(0.4);
    for (std::size_t d = 0; d < dips.size(); ++d) {
        const int n = std::max(2, int(std::lround(dips[d].first * fps)));
        for (int k = 1; k <= n; ++k) {
            const double amount = 0.5 - 0.5 * std::cos(2 * M_PI * k / (n + 1));
            maps.push_back(motionAt(kind, amount, d < 4 ? 1 : -1, dips[d].second, frame) * fromPhoto);
        }
        rest(0.3);
    }
    return maps;
}

// One frame of such a clip: the photo through `map` on a plain wall, with sensor noise (σ 3 grey
// levels, from `noiseSeed`) and JPEG compression (quality 75).
inline cv::Mat attackFrame(const cv::Mat& photo, const cv::Matx33d& map, std::uint64_t noiseSeed) {
    cv::Mat image(attackFrameSize, CV_8UC3, cv::Scalar(150, 155, 160));
    cv::warpPerspective(photo, image, cv::Mat(map), attackFrameSize, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    cv::Mat noise(attackFrameSize, CV_16SC3);
    cv::RNG(noiseSeed).fill(noise, cv::RNG::NORMAL, 0, 3);
    cv::Mat noisy;
    cv::add(image, noise, noisy, cv::noArray(), CV_8UC3);
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", noisy, jpeg, {cv::IMWRITE_JPEG_QUALITY, 75});
    return cv::imdecode(jpeg, cv::IMREAD_COLOR);
}
// The noise of frame `frame` of the clips of `seed`: every motion's clip of a photo has the same.
inline std::uint64_t attackNoiseSeed(unsigned seed, std::size_t frame) { return (std::uint64_t(seed) << 20) + frame + 1; }

inline std::vector<cv::Mat> attackClip(const cv::Mat& photo, Motion kind, unsigned seed, double fps) {
    std::vector<cv::Mat> clip;
    for (const cv::Matx33d& map : attackMotion(photo, kind, seed, fps))
        clip.push_back(attackFrame(photo, map, attackNoiseSeed(seed, clip.size())));
    return clip;
}

// Every still of the data folder: the open-eye video frames, the dev photos, the London pairs.
inline std::vector<fs::path> attackStills(const fs::path& data) {
    std::vector<fs::path> stills;
    for (const auto& p : FaceData::sortedEntries(data / "blink" / "closed_eyes", false))
        if (p.stem().string().ends_with("_open")) stills.push_back(p);
    for (const char* set : {"dev", "london_pairs"})
        for (const auto& id : FaceData::identities(data / "faces" / set))
            for (const auto& p : id.photos) stills.push_back(p);
    return stills;
}

}  // namespace FaceData
