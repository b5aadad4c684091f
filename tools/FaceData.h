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
#include <initializer_list>
#include <span>
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

// ---- the photo attack: a still moved in front of a camera, flat or folded or bent

// The kinds of motion. The first six move the print as a flat plane; the others fold or bend it,
// so that parts of the face move against each other as no plane can.
enum class Motion {
    tilt, turn, roll, squeeze, distance, combined,
    foldUpperBack, foldLowerBack, foldBoth, foldNose, bendAcross, bendAlong, eyeStrip
};
inline constexpr Motion planarMotions[] = {Motion::tilt, Motion::turn, Motion::roll, Motion::squeeze, Motion::distance, Motion::combined};
inline constexpr Motion foldedMotions[] = {Motion::foldUpperBack, Motion::foldLowerBack, Motion::foldBoth, Motion::foldNose,
                                           Motion::bendAcross, Motion::bendAlong, Motion::eyeStrip};
inline constexpr Motion motionKinds[] = {Motion::tilt,          Motion::turn,          Motion::roll,     Motion::squeeze,
                                         Motion::distance,      Motion::combined,      Motion::foldUpperBack,
                                         Motion::foldLowerBack, Motion::foldBoth,      Motion::foldNose,
                                         Motion::bendAcross,    Motion::bendAlong,     Motion::eyeStrip};
inline bool isFolded(Motion m) { return m >= Motion::foldUpperBack; }
inline const char* motionName(Motion m) {
    switch (m) {
    case Motion::tilt: return "tilted (horizontal axis)";
    case Motion::turn: return "turned (vertical axis)";
    case Motion::roll: return "rolled (in the image)";
    case Motion::squeeze: return "squeezed vertically";
    case Motion::distance: return "closer and further";
    case Motion::combined: return "tilt + turn + squeeze + closer";
    case Motion::foldUpperBack: return "folded across, upper part";
    case Motion::foldLowerBack: return "folded across, lower part";
    case Motion::foldBoth: return "folded across, both parts";
    case Motion::foldNose: return "folded along the nose";
    case Motion::bendAcross: return "bent about a horizontal axis";
    case Motion::bendAlong: return "bent about a vertical axis";
    case Motion::eyeStrip: return "eye strip tilted";
    }
    return "";
}

// Where the face lies on the photo (photo pixels, y down): the lines that folds and bends follow.
struct FaceLines {
    double brows = 0, eyes = 0, lowerLids = 0, noseMid = 0, nostrils = 0;  // heights
    double noseX = 0, eyeSpan = 0;  // the nose line; half the distance between the outer eye corners
};
inline std::optional<FaceLines> faceLines(std::span<const cv::Point2f> landmarks) {
    if (landmarks.size() != 68) return std::nullopt;
    const auto meanY = [&](std::initializer_list<int> points) {
        double sum = 0;
        for (const int i : points) sum += landmarks[std::size_t(i)].y;
        return sum / double(points.size());
    };
    FaceLines l;
    l.brows = meanY({17, 18, 19, 20, 21, 22, 23, 24, 25, 26});
    l.eyes = meanY({36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47});
    l.lowerLids = meanY({40, 41, 46, 47});
    l.noseMid = meanY({29});
    l.nostrils = meanY({31, 32, 33, 34, 35});
    l.noseX = (landmarks[27].x + landmarks[28].x + landmarks[29].x + landmarks[30].x) / 4.0;
    l.eyeSpan = cv::norm(landmarks[45] - landmarks[36]) / 2;
    return l;
}
// The lines of the face the detector finds on `photo` itself; nothing without a face.
inline std::optional<FaceLines> faceLines(FaceDetector& detector, const cv::Mat& photo) {
    detector.forgetFace();
    const auto face = detector.detect(photo);
    detector.forgetFace();
    return face ? faceLines(face->landmarks) : std::nullopt;
}

// Pinhole camera with a 640 px focal length (a webcam's ~53° across 640 px); the photo stands
// at the distance where it shows at its own size. `depth` 1 is the rest distance.
inline constexpr double attackFocal = 640;
inline cv::Matx33d planeToFrame(double tiltX, double tiltY, double rollZ, double squeezeY, double depth, cv::Size frame) {
    const double f = attackFocal;
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

// One flat piece of a folded or bent print: the map of its plane (print coordinates: pixels at
// rest, centred) into the frame, and the part of the print it holds.
struct PrintPiece {
    cv::Matx33d map;
    cv::Rect2d part;  // print coordinates
    double depth = 0;  // at the part's centre; far pieces are drawn first
    friend bool operator==(const PrintPiece&, const PrintPiece&) = default;
};
// A print at one moment: the map of the whole print when flat, and its pieces when folded or bent
// (`map` then places the piece that stays at rest).
struct PrintPose {
    cv::Matx33d map;
    std::vector<PrintPiece> pieces;
    friend bool operator==(const PrintPose&, const PrintPose&) = default;
};

namespace detail {
// The piece of the print's plane whose point (X, Y) sits in the camera's space at X·a1 + Y·a2 + a3.
inline PrintPiece piece(const cv::Vec3d& a1, const cv::Vec3d& a2, const cv::Vec3d& a3, const cv::Rect2d& part, cv::Size frame) {
    const double f = attackFocal;
    const cv::Matx33d k(f, 0, frame.width / 2.0, 0, f, frame.height / 2.0, 0, 0, 1);
    const cv::Point2d c = (part.tl() + part.br()) * 0.5;
    return {k * cv::Matx33d(a1[0], a2[0], a3[0], a1[1], a2[1], a3[1], a1[2], a2[2], a3[2]), part,
            a1[2] * c.x + a2[2] * c.y + a3[2]};
}
// Turned by `angle` about the print's line Y = c (`side` −1 for the part above it, +1 below);
// positive angles take the part away from the camera.
inline PrintPiece hingedAcross(double c, int side, double angle, const cv::Rect2d& part, cv::Size frame) {
    const double f = attackFocal, co = std::cos(angle), si = std::sin(angle);
    return piece({1, 0, 0}, {0, co, side * si}, {0, c * (1 - co), f - side * c * si}, part, frame);
}
// The same about the print's line X = c (`side` −1 for the part left of it).
inline PrintPiece hingedAlong(double c, int side, double angle, const cv::Rect2d& part, cv::Size frame) {
    const double f = attackFocal, co = std::cos(angle), si = std::sin(angle);
    return piece({co, 0, side * si}, {0, 1, 0}, {c * (1 - co), 0, f - side * c * si}, part, frame);
}
// A print bent around a cylinder whose axis runs across (or along) it at the line `c`, so that the
// surface at `reach` from the line is turned by `angle` (negative: towards the camera); cut into
// thin flat strips. What would curl round by more than a right angle is left out.
inline std::vector<PrintPiece> bent(bool across, double c, double reach, double angle, const cv::Rect2d& print, cv::Size frame) {
    const double f = attackFocal;
    std::vector<PrintPiece> pieces;
    const double from = across ? print.y : print.x, length = across ? print.height : print.width;
    constexpr int strips = 24;
    const double radius = std::fabs(angle) > 1e-6 ? reach / std::fabs(angle) : 0;
    const double sigma = angle < 0 ? -1 : 1;
    for (int k = 0; k < strips; ++k) {
        const double a = from + length * k / strips, b = from + length * (k + 1) / strips;
        const double s = (a + b) / 2 - c;
        const double phi = radius > 0 ? s / radius : 0;
        if (std::fabs(phi) > M_PI / 2) continue;
        // Where the strip's centre line lies and which way the surface runs there.
        const double along = radius > 0 ? c + radius * std::sin(phi) : c + s;
        const double back = radius > 0 ? sigma * radius * (1 - std::cos(phi)) : 0;
        const double t1 = std::cos(phi), t2 = sigma * std::sin(phi);
        const cv::Rect2d part = across ? cv::Rect2d(print.x, a, print.width, b - a) : cv::Rect2d(a, print.y, b - a, print.height);
        const double base = c + s;  // the strip's centre line in print coordinates
        if (across) pieces.push_back(piece({1, 0, 0}, {0, t1, t2}, {0, along - base * t1, f + back - base * t2}, part, frame));
        else pieces.push_back(piece({t1, 0, t2}, {0, 1, 0}, {along - base * t1, 0, f + back - base * t2}, part, frame));
    }
    return pieces;
}
}  // namespace detail

// One dip of `kind` at amount a ∈ [0, 1] (0: at rest); `sign` alternates the direction of
// successive dips, `peak` ∈ [0, 1] picks how far this dip goes within the kind's range, `variant`
// where a fold runs. `print`: the print's rectangle and `lines` the face on it, in print
// coordinates (needed by the folded kinds only).
inline PrintPose motionAt(Motion kind, double a, int sign, double peak, int variant, cv::Size frame,
                          const cv::Rect2d& print = {}, const FaceLines& lines = {}) {
    const double deg = M_PI / 180;
    const double tilt = sign * a * (35 + 35 * peak) * deg;  // 35°…70°: beyond ~60° the face is lost
    const cv::Matx33d rest = planeToFrame(0, 0, 0, 1, 1, frame);
    // Folds and bends: 30°…80°, away from the camera in the first dips and towards it in the others.
    const double fold = sign * a * (30 + 50 * peak) * deg;
    const auto flat = [&](const cv::Rect2d& part) { return detail::piece({1, 0, 0}, {0, 1, 0}, {0, 0, attackFocal}, part, frame); };
    const auto above = [&](double y) { return cv::Rect2d(print.x, print.y, print.width, y - print.y); };
    const auto below = [&](double y) { return cv::Rect2d(print.x, y, print.width, print.br().y - y); };
    // Creases across the face from the brows to the nostrils.
    const double creases[] = {lines.brows, (lines.brows + lines.eyes) / 2, lines.eyes, lines.lowerLids,
                              (lines.lowerLids + lines.nostrils) / 2, lines.nostrils};
    const double crease = creases[std::size_t(variant) % std::size(creases)];
    PrintPose pose{rest, {}};
    switch (kind) {
    case Motion::tilt: return {planeToFrame(tilt, 0, 0, 1, 1, frame), {}};
    case Motion::turn: return {planeToFrame(0, tilt, 0, 1, 1, frame), {}};
    case Motion::roll: return {planeToFrame(0, 0, sign * a * (15 + 20 * peak) * deg, 1, 1, frame), {}};
    case Motion::squeeze: return {planeToFrame(0, 0, 0, 1 - a * (0.3 + 0.2 * peak), 1, frame), {}};
    case Motion::distance:
        return {planeToFrame(0, 0, 0, 1, sign > 0 ? 1 - a * (0.25 + 0.15 * peak) : 1 + a * (0.4 + 0.4 * peak), frame), {}};
    case Motion::combined:
        return {planeToFrame(a * (30 + 25 * peak) * deg, sign * a * 20 * deg, sign * a * 8 * deg, 1 - a * 0.15, 1 - a * 0.2, frame), {}};
    case Motion::foldUpperBack:
        pose.pieces = {detail::hingedAcross(crease, -1, fold, above(crease), frame), flat(below(crease))};
        break;
    case Motion::foldLowerBack:
        pose.pieces = {flat(above(crease)), detail::hingedAcross(crease, 1, fold, below(crease), frame)};
        break;
    case Motion::foldBoth:
        pose.pieces = {detail::hingedAcross(crease, -1, fold, above(crease), frame),
                       detail::hingedAcross(crease, 1, fold, below(crease), frame)};
        break;
    case Motion::foldNose: {
        const double x = lines.noseX;
        pose.pieces = {detail::hingedAlong(x, -1, fold, {print.x, print.y, x - print.x, print.height}, frame),
                       detail::hingedAlong(x, 1, fold, {x, print.y, print.br().x - x, print.height}, frame)};
        break;
    }
    case Motion::bendAcross:
        // About the middle of the nose; the forehead turned by the angle, the brows by half of it.
        pose.pieces = detail::bent(true, lines.noseMid, std::max(1.0, 2 * (lines.noseMid - lines.brows)), fold, print, frame);
        break;
    case Motion::bendAlong:
        // About the nose line; the sides of the face turned by the angle.
        pose.pieces = detail::bent(false, lines.noseX, std::max(1.0, 1.5 * lines.eyeSpan), fold, print, frame);
        break;
    case Motion::eyeStrip: {
        // A strip from just above the brows to below the lower lids, turned about its own middle;
        // the forehead and the face below stay.
        const double top = lines.brows - 0.3 * (lines.eyes - lines.brows);
        const double bottom = lines.lowerLids + (lines.nostrils - lines.lowerLids) / 3;
        const double middle = (top + bottom) / 2;
        const cv::Rect2d strip(print.x, top, print.width, bottom - top);
        pose.pieces = {flat(above(top)), detail::hingedAcross(middle, -1, fold, {strip.x, top, strip.width, middle - top}, frame),
                       detail::hingedAcross(middle, 1, -fold, {strip.x, middle, strip.width, bottom - middle}, frame),
                       flat(below(bottom))};
        break;
    }
    }
    std::stable_sort(pose.pieces.begin(), pose.pieces.end(), [](const PrintPiece& x, const PrintPiece& y) { return x.depth > y.depth; });
    return pose;
}

// A still photo held to a 25 fps camera: 0.4 s at rest, then dips lasting 0.15, 0.3, 0.45 and 0.6 s
// (a raised-cosine out and back), each followed by 0.3 s at rest, then the same again in the other
// direction. `seed` varies the peaks (and where folds run) from photo to photo. Per frame, the
// print's pose: maps from the photo's pixels to the frame's (attackFrameSize). The folded kinds
// need the face's lines on the photo (faceLines); without them they stay flat.
inline const cv::Size attackFrameSize(480, 360);
inline std::vector<PrintPose> attackMotion(const cv::Mat& photo, Motion kind, unsigned seed, double fps,
                                           const std::optional<FaceLines>& lines = std::nullopt) {
    const cv::Size frame = attackFrameSize;
    // The photo shown 300 px high at rest, on a plain wall.
    const double scale = 300.0 / photo.rows;
    const cv::Matx33d fromPhoto(scale, 0, -scale * photo.cols / 2.0, 0, scale, -scale * photo.rows / 2.0, 0, 0, 1);
    const cv::Rect2d print(-scale * photo.cols / 2.0, -scale * photo.rows / 2.0, scale * photo.cols, scale * photo.rows);
    FaceLines inPrint;
    if (lines) {
        const auto y = [&](double v) { return scale * (v - photo.rows / 2.0); };
        inPrint = {y(lines->brows), y(lines->eyes), y(lines->lowerLids), y(lines->noseMid), y(lines->nostrils),
                   scale * (lines->noseX - photo.cols / 2.0), scale * lines->eyeSpan};
    }
    if (isFolded(kind) && !lines) kind = Motion::distance;  // nothing to fold along: a flat print at rest
    const bool folded = isFolded(kind);
    std::vector<std::pair<double, double>> dips;  // (duration, peak)
    const double durations[] = {0.15, 0.3, 0.45, 0.6};
    for (int i = 0; i < 8; ++i) dips.emplace_back(durations[i % 4], double((seed + unsigned(i) * 3) % 4) / 3.0);
    std::vector<PrintPose> maps;
    const auto toPhoto = [&](PrintPose pose) {
        pose.map = pose.map * fromPhoto;
        for (PrintPiece& p : pose.pieces) {
            p.map = p.map * fromPhoto;
            p.part = cv::Rect2d((p.part.x - fromPhoto(0, 2)) / scale, (p.part.y - fromPhoto(1, 2)) / scale, p.part.width / scale,
                                p.part.height / scale);
        }
        return pose;
    };
    const auto at = [&](double amount, int sign, double peak, int variant) {
        return toPhoto(motionAt(kind, amount, sign, peak, variant, frame, print, inPrint));
    };
    const auto rest = [&](double seconds) {
        for (int n = int(std::lround(seconds * fps)); n > 0; --n) maps.push_back(toPhoto({motionAt(Motion::tilt, 0, 1, 0, 0, frame).map, {}}));
    };
    rest(0.4);
    for (std::size_t d = 0; d < dips.size(); ++d) {
        const int n = std::max(2, int(std::lround(dips[d].first * fps)));
        for (int k = 1; k <= n; ++k) {
            const double amount = 0.5 - 0.5 * std::cos(2 * M_PI * k / (n + 1));
            maps.push_back(at(amount, d < 4 ? 1 : -1, dips[d].second, folded ? int(seed + d) : 0));
        }
        rest(0.3);
    }
    return maps;
}

// One frame of such a clip: the photo posed as `pose` on a plain wall, with sensor noise (σ 3 grey
// levels, from `noiseSeed`) and JPEG compression (quality 75).
inline cv::Mat attackFrame(const cv::Mat& photo, const PrintPose& pose, std::uint64_t noiseSeed) {
    cv::Mat image(attackFrameSize, CV_8UC3, cv::Scalar(150, 155, 160));
    if (pose.pieces.empty())
        cv::warpPerspective(photo, image, cv::Mat(pose.map), attackFrameSize, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    for (const PrintPiece& p : pose.pieces) {
        // Each piece drawn only where its part of the photo lands.
        const cv::Rect2d part = p.part & cv::Rect2d(0, 0, photo.cols, photo.rows);
        if (part.empty()) continue;
        std::vector<cv::Point2f> corners{cv::Point2f(part.tl()), {float(part.br().x), float(part.y)}, cv::Point2f(part.br()),
                                         {float(part.x), float(part.br().y)}},
            moved;
        cv::perspectiveTransform(corners, moved, cv::Mat(p.map));
        const cv::Rect roi = cv::boundingRect(moved) & cv::Rect(cv::Point(), attackFrameSize);
        if (roi.empty()) continue;
        const cv::Matx33d shift(1, 0, -roi.x, 0, 1, -roi.y, 0, 0, 1);
        cv::Mat patch;
        cv::warpPerspective(photo, patch, cv::Mat(shift * p.map), roi.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        cv::Mat mask = cv::Mat::zeros(roi.size(), CV_8U);
        std::vector<cv::Point> quad;
        for (const auto& m : moved) quad.emplace_back(int(std::lround(m.x - float(roi.x))), int(std::lround(m.y - float(roi.y))));
        cv::fillConvexPoly(mask, quad, cv::Scalar(255));
        patch.copyTo(image(roi), mask);
    }
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

inline std::vector<cv::Mat> attackClip(const cv::Mat& photo, Motion kind, unsigned seed, double fps,
                                       const std::optional<FaceLines>& lines = std::nullopt) {
    std::vector<cv::Mat> clip;
    for (const PrintPose& pose : attackMotion(photo, kind, seed, fps, lines))
        clip.push_back(attackFrame(photo, pose, attackNoiseSeed(seed, clip.size())));
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
