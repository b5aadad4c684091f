// face-eval: how well the face engine tells people apart and sees blinks, on real photos and video.
//
//   face-eval photos [--best-of K] [--threshold T] [--groups CSV] FOLDER [FOLDER...]
//     Each FOLDER holds one folder of photos per person (photos of any size; faces too small for the
//     detector at full size are looked for once more in the photo enlarged 2×). Prints the genuine
//     and impostor distance statistics over all pairs of photos, FAR and FRR at the threshold
//     (default 0.30), the equal-error rate and its threshold, and best-of-K results: each person of
//     the first FOLDER with at least K photos enrols the first K (in natural name order), the rest
//     are genuine probes, every photo of every other person (all folders) is an impostor probe; a
//     probe matches when its smallest distance to the K is within the threshold. With --groups (or a
//     CSV beside a folder's identity folders with columns face_id and face_eth, as london_info.csv)
//     it also prints the false-accept rate among pairs of different people of the same group.
//
//   face-eval blinks [--upsample] [--trace] BLINKS_CSV [VIDEO...]
//     Runs each video (default: every video beside the CSV) through the scan's blink path (detector,
//     per-scan openness scale, liveness tracker) at the file's frame rate and with the camera's
//     0.05 s throttle (starting at the first frame, and again at the second: which frames of a blink
//     a camera keeps is chance), each twice: as the scan does it (only faces passing the 0.35 quality gate feed the
//     tracker) and with every frame that has a face. Compares the blinks counted with the labelled
//     ones (rows with blink ≥ 1; rows with blink 0 mark lid movements that must not count). A counted
//     blink matches a labelled one when the eyes were seen closing between 0.1 s before the label's
//     first frame and 0.2 s after its last (the count itself comes when they reopen, which can be
//     much later). Also feeds a frame of each video 100 times (a still photo), which must never
//     blink. --trace prints every frame the scan feeds at the native frame rate.
//
//   face-eval attacks [--every N [--first K]] [--only TEXT] [--trace] DATA_FOLDER
//     The photo attack suite, made at run time from every still of DATA_FOLDER (blink/closed_eyes/
//     *_open.*, faces/dev, faces/london_pairs; with --every N every N-th from the K-th (counted
//     from 0; two processes with --first 0 and 1 share the suite), with --only those whose
//     path holds TEXT; a still's clips are the same however it is picked): each photo moved as a
//     flat plane in front of a 25 fps camera (tilted about its horizontal or vertical axis up to
//     where the face is lost, turned in the image, squeezed, brought closer and further, and a
//     combination), in repeated dips of 0.15 to 0.6 s, with sensor noise and JPEG compression. Runs
//     each clip through the scan's blink path natively and through the 0.05 s throttle and prints
//     the false blinks per kind of motion (the target is none), beside what the landmark ratio alone
//     would have counted, and where the time went. --trace prints, for every clip that blinked, both
//     readings behind each frame the scan fed. Only the detector, landmarks and motion tracking run.
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "Face/FaceDetector.h"
#include "Face/FaceMotion.h"
#include "Face/FaceRecognizer.h"
#include "Face/LivenessTracker.h"
#include "Face/Settings.h"
#include "FaceData.h"

namespace fs = std::filesystem;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: face-eval photos [--best-of K] [--threshold T] [--groups CSV] FOLDER [FOLDER...]\n"
                 "       face-eval blinks [--upsample] [--trace] BLINKS_CSV [VIDEO...]\n"
                 "       face-eval attacks [--every N [--first K]] [--only TEXT] [--trace] DATA_FOLDER\n");
    return 2;
}

// ---------------------------------------------------------------- photos

struct Photo {
    std::size_t identity;
    fs::path path;
    std::vector<float> embedding;
};

struct Person {
    std::string name;
    std::size_t folder;  // index of the FOLDER argument
    std::string group;   // empty when unknown
    std::vector<std::size_t> photos;
};

struct Stats {
    std::vector<float> d;
    void print(const char* title) {
        std::sort(d.begin(), d.end());
        if (d.empty()) {
            std::printf("  %-9s  no pairs\n", title);
            return;
        }
        const double mean = std::accumulate(d.begin(), d.end(), 0.0) / double(d.size());
        double var = 0;
        for (float v : d) var += (v - mean) * (v - mean);
        const auto pct = [&](double p) { return d[std::min(d.size() - 1, std::size_t(p / 100.0 * double(d.size())))]; };
        std::printf("  %-9s %7zu pairs  mean %.3f  sd %.3f  min %.3f  p1 %.3f  p5 %.3f  median %.3f  p95 %.3f  p99 %.3f  max %.3f\n",
                    title, d.size(), mean, std::sqrt(var / double(d.size())), d.front(), pct(1), pct(5), pct(50), pct(95),
                    pct(99), d.back());
    }
};

double percent(std::size_t n, std::size_t of) { return of ? 100.0 * double(n) / double(of) : 0.0; }

// Group of each identity folder from a CSV with face_id and face_eth; folder "x_001" or "001" ↔ id "001".
std::map<std::string, std::string> readGroups(const fs::path& csvPath) {
    std::map<std::string, std::string> groups;
    const auto csv = FaceData::readCsv(csvPath);
    if (!csv || csv->column("face_id") < 0 || csv->column("face_eth") < 0) return groups;
    for (const auto& row : csv->rows) groups[csv->field(row, "face_id")] = csv->field(row, "face_eth");
    return groups;
}

std::string groupOf(const std::map<std::string, std::string>& groups, const std::string& folderName) {
    if (auto it = groups.find(folderName); it != groups.end()) return it->second;
    if (const auto us = folderName.rfind('_'); us != std::string::npos)
        if (auto it = groups.find(folderName.substr(us + 1)); it != groups.end()) return it->second;
    return {};
}

int photos(int argc, char** argv) {
    std::size_t k = 4;
    float threshold = Settings::fallbackThreshold;
    fs::path groupsCsv;
    std::vector<fs::path> roots;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--best-of" && i + 1 < argc) {
            const auto v = FaceData::toLong(argv[++i]);
            if (!v || *v < 1) return usage();
            k = std::size_t(*v);
        } else if (a == "--threshold" && i + 1 < argc) {
            threshold = std::stof(argv[++i]);
        } else if (a == "--groups" && i + 1 < argc) {
            groupsCsv = argv[++i];
        } else if (a.starts_with("--")) {
            return usage();
        } else {
            roots.emplace_back(a);
        }
    }
    if (roots.empty()) return usage();

    const auto engine = FaceData::loadPhotoEngine("face-eval");
    if (!engine) return 1;
    FaceDetector& detector = engine->detector;
    DescriptorRecognizer& recognizer = engine->recognizer;

    std::vector<Person> people;
    std::vector<Photo> all;
    std::size_t missed = 0;
    for (std::size_t r = 0; r < roots.size(); ++r) {
        const auto ids = FaceData::identities(roots[r]);
        if (ids.empty()) {
            std::fprintf(stderr, "face-eval: %s holds no folders of photos\n", roots[r].c_str());
            return 1;
        }
        std::map<std::string, std::string> groups;
        if (!groupsCsv.empty()) groups = readGroups(groupsCsv);
        else
            for (const auto& e : fs::directory_iterator(roots[r]))
                if (e.path().extension() == ".csv" && groups.empty()) groups = readGroups(e.path());
        for (const auto& id : ids) {
            Person person{id.name, r, groupOf(groups, id.name), {}};
            for (const auto& path : id.photos) {
                const cv::Mat image = cv::imread(path.string(), cv::IMREAD_COLOR);
                const auto face = image.empty() ? std::nullopt : detector.detect(image);
                const auto embedding = face ? recognizer.embedding(*face) : std::nullopt;
                if (!embedding) {
                    std::printf("no face: %s\n", path.c_str());
                    ++missed;
                    continue;
                }
                person.photos.push_back(all.size());
                all.push_back({people.size(), path, embedding->vector});
            }
            people.push_back(std::move(person));
        }
    }
    std::printf("%s: %zu photos of %zu people", recognizer.engineName().c_str(), all.size(), people.size());
    std::printf(" (%zu without a usable face) in", missed);
    for (const auto& r : roots) std::printf(" %s", r.c_str());
    std::printf("\nthreshold %.2f (match: distance ≤ threshold)\n\n", double(threshold));

    // Every pair.
    const std::size_t n = all.size();
    std::vector<float> dist(n * n, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            dist[i * n + j] = dist[j * n + i] = FaceMatching::cosineDistance(all[i].embedding, all[j].embedding);
    Stats genuine, impostor;
    std::map<std::string, std::pair<std::size_t, std::size_t>> groupFa;  // group → (false accepts, pairs)
    std::map<std::string, std::set<std::size_t>> groupPeople;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const float d = dist[i * n + j];
            const Person& a = people[all[i].identity];
            const Person& b = people[all[j].identity];
            if (all[i].identity == all[j].identity) {
                genuine.d.push_back(d);
                continue;
            }
            impostor.d.push_back(d);
            if (!a.group.empty() && a.group == b.group) {
                auto& g = groupFa[a.group];
                g.first += d <= threshold;
                ++g.second;
            }
        }
        const Person& a = people[all[i].identity];
        if (!a.group.empty()) groupPeople[a.group].insert(all[i].identity);
    }
    std::printf("pairwise distances\n");
    genuine.print("genuine");
    impostor.print("impostor");
    const auto count = [](const std::vector<float>& v, auto pred) {
        return std::size_t(std::count_if(v.begin(), v.end(), pred));
    };
    const std::size_t fr = count(genuine.d, [&](float d) { return d > threshold; });
    const std::size_t fa = count(impostor.d, [&](float d) { return d <= threshold; });
    std::printf("  at %.2f: FRR %.3f %% (%zu of %zu genuine pairs)  FAR %.3f %% (%zu of %zu impostor pairs)\n",
                double(threshold), percent(fr, genuine.d.size()), fr, genuine.d.size(), percent(fa, impostor.d.size()), fa,
                impostor.d.size());
    // Equal-error rate: the threshold among all distances where FAR and FRR are closest.
    if (!genuine.d.empty() && !impostor.d.empty()) {
        std::vector<float> candidates = genuine.d;
        candidates.insert(candidates.end(), impostor.d.begin(), impostor.d.end());
        std::sort(candidates.begin(), candidates.end());
        double bestGap = 2, eer = 0, eerT = 0;
        for (float t : candidates) {
            const double frr = double(genuine.d.end() - std::upper_bound(genuine.d.begin(), genuine.d.end(), t)) / double(genuine.d.size());
            const double far = double(std::upper_bound(impostor.d.begin(), impostor.d.end(), t) - impostor.d.begin()) / double(impostor.d.size());
            if (std::fabs(far - frr) < bestGap) {
                bestGap = std::fabs(far - frr);
                eer = (far + frr) / 2;
                eerT = t;
            }
        }
        std::printf("  equal-error rate %.3f %% at threshold %.3f\n", eer * 100, eerT);
    }

    // Best of K.
    std::size_t enrolled = 0, gTrials = 0, gMiss = 0, iTrials = 0, iAccept = 0;
    for (std::size_t p = 0; p < people.size(); ++p) {
        const Person& person = people[p];
        if (person.folder != 0 || person.photos.size() < k) continue;
        ++enrolled;
        const std::vector<std::size_t> enrol(person.photos.begin(), person.photos.begin() + std::ptrdiff_t(k));
        const auto best = [&](std::size_t probe) {
            float m = FaceMatching::noDistance;
            for (std::size_t e : enrol) m = std::min(m, dist[probe * n + e]);
            return m;
        };
        for (std::size_t i = k; i < person.photos.size(); ++i) {
            ++gTrials;
            gMiss += best(person.photos[i]) > threshold;
        }
        for (std::size_t probe = 0; probe < n; ++probe) {
            if (all[probe].identity == p) continue;
            ++iTrials;
            if (best(probe) <= threshold) {
                ++iAccept;
                std::printf("  best-of-%zu false accept: %s probed with %s\n", k, person.name.c_str(), all[probe].path.c_str());
            }
        }
    }
    std::printf("\nbest-of-%zu (people of %s with ≥ %zu photos enrol their first %zu: %zu people)\n", k, roots[0].c_str(), k,
                k, enrolled);
    std::printf("  FRR %.3f %% (%zu of %zu genuine probes)  FAR %.4f %% (%zu of %zu impostor probes)\n",
                percent(gMiss, gTrials), gMiss, gTrials, percent(iAccept, iTrials), iAccept, iTrials);

    if (!groupFa.empty()) {
        std::printf("\nfalse accepts among pairs of different people of the same group, at %.2f\n", double(threshold));
        for (const auto& [group, v] : groupFa)
            std::printf("  %-18s %3zu people  %6zu pairs  %5zu accepted  FAR %.2f %%\n", group.c_str(),
                        groupPeople[group].size(), v.second, v.first, percent(v.first, v.second));
    }
    return 0;
}

// ---------------------------------------------------------------- blinks

struct Label {
    long blink, start, end;
};

// Feeds one scan's blink path (its openness scale and tracker) and notes, per counted blink, the
// frame at which the tracker saw the eyes close (it counts the blink when they open again, which
// after a slow reopening can be well after the label's last frame).
struct BlinkCounter {
    std::unique_ptr<EyeOpennessScale> scale;
    LivenessTracker tracker;
    long closedAt = -1;
    float lastFed = 0;
    std::vector<long> blinks;

    explicit BlinkCounter(std::unique_ptr<EyeOpennessScale> s) : scale(std::move(s)) {}
    void feed(const DetectedFace& face, double seconds, long frame, bool trace) {
        const auto before = tracker.blinkCount();
        const auto phase = tracker.phase();
        const float y = lastFed = scale->trackerOpenness(face, seconds);
        tracker.update(y);
        if (phase == LivenessTracker::Phase::sawOpen && tracker.phase() == LivenessTracker::Phase::sawClose)
            closedAt = frame;
        if (tracker.blinkCount() > before) blinks.push_back(closedAt);
        if (trace)
            std::printf("  frame %5ld  quality %.2f  raw %.3f  scaled %.3f  phase %d  blinks %lld\n", frame,
                        double(face.quality), double(face.eyeOpenness.value_or(0)), double(y), int(tracker.phase()),
                        static_cast<long long>(tracker.blinkCount()));
    }
};

// Which frames a camera throttled to one frame per `seconds` (0: none) delivers, asked frame by
// frame in order, starting at `firstFrame`.
class Throttle {
public:
    Throttle(double fps, double seconds, std::size_t firstFrame) : fps_(fps), seconds_(seconds), first_(firstFrame) {}
    bool delivers(std::size_t frame) {
        const double t = double(frame) / fps_;
        if (frame < first_ || (seconds_ > 0 && t - lastTaken_ < seconds_ - 1e-9)) return false;
        lastTaken_ = t;
        return true;
    }

private:
    double fps_, seconds_;
    std::size_t first_;
    double lastTaken_ = -1e9;
};

// Modes: every frame; the 0.05 s throttle starting at the first frame; the throttle starting at
// the second (which frames of a blink a camera keeps is chance).
constexpr int modes = 3;
constexpr double throttle = 0.05;
const char* const modeNames[modes] = {"native", "0.05 s", "0.05 s, +1 frame"};

struct Tally {
    std::size_t counted = 0, matched = 0, falseBlinks = 0, inDoNotCount = 0;
};

int blinks(int argc, char** argv) {
    bool upsample = false, trace = false;
    fs::path csvPath;
    std::vector<fs::path> videos;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--upsample") upsample = true;
        else if (a == "--trace") trace = true;
        else if (a.starts_with("--")) return usage();
        else if (csvPath.empty()) csvPath = a;
        else videos.emplace_back(a);
    }
    if (csvPath.empty()) return usage();
    const auto csv = FaceData::readCsv(csvPath);
    if (!csv || csv->column("file") < 0 || csv->column("blink") < 0 || csv->column("start_frame") < 0 ||
        csv->column("end_frame") < 0) {
        std::fprintf(stderr, "face-eval: %s is not a blinks CSV (file, blink, start_frame, end_frame, …)\n", csvPath.c_str());
        return 1;
    }
    std::map<std::string, std::vector<Label>> labels;
    for (const auto& row : csv->rows) {
        const auto blink = FaceData::toLong(csv->field(row, "blink"));
        const auto start = FaceData::toLong(csv->field(row, "start_frame"));
        const auto end = FaceData::toLong(csv->field(row, "end_frame"));
        if (!blink || !start || !end) continue;
        labels[csv->field(row, "file")].push_back({*blink, *start, *end});
    }
    if (videos.empty()) {
        for (const auto& e : fs::directory_iterator(csvPath.parent_path())) {
            const std::string ext = e.path().extension().string();
            if (ext == ".mp4" || ext == ".avi" || ext == ".mkv" || ext == ".webm" || ext == ".mov") videos.push_back(e.path());
        }
        std::sort(videos.begin(), videos.end());
    }

    FaceDetector::Options options;
    options.upsampleWhenNothingFound = upsample;
    FaceDetector detector(options);
    if (const auto error = detector.loadError()) {
        std::fprintf(stderr, "face-eval: %s\n", error->c_str());
        return 1;
    }
    const float minQuality = Settings{}.minQuality;
    std::printf("blink path: detector (%s build), per-scan openness scale, tracker %.2f / %.2f\n",
                detector.instructionSet().c_str(), double(LivenessTracker().openThreshold()),
                double(LivenessTracker().closeThreshold()));
    std::printf("scan: only frames whose face passes the quality gate (≥ %.2f) feed the tracker; all: every frame with a face\n\n",
                double(minQuality));
    std::printf("%-36s %6s %6s %7s %8s | %-21s | %-21s\n", "", "", "with", "quality", "", "scan, native",
                "all frames, native");
    std::printf("%-36s %6s %6s %7s %8s | %-21s | %-21s\n", "video", "frames", "face", ">= 0.35", "labelled",
                "counted matched false", "counted matched false");

    Tally tally[2][modes];  // [all frames][mode]
    std::size_t labelled = 0, doNotCount = 0, stillBlinks = 0, stills = 0;
    std::string notes;
    for (const auto& video : videos) {
        cv::VideoCapture probe(video.string(), cv::CAP_FFMPEG);
        if (!probe.isOpened()) {
            std::printf("%-36s cannot be opened\n", video.filename().c_str());
            continue;
        }
        double fps = probe.get(cv::CAP_PROP_FPS);
        if (!(fps > 0 && fps < 1000)) fps = 25;
        probe.release();
        // One pass per mode. The detector follows a face from frame to frame, so what it finds
        // depends on the frames it was given before: each run sees only the frames its camera would
        // deliver. The frames are not kept (a minute of video would not fit).
        std::vector<long> countedBy[2][modes];
        cv::Mat still;
        std::size_t frames = 0, faces = 0, gated = 0;
        for (int mode = 0; mode < modes; ++mode) {
            Throttle camera(fps, mode ? throttle : 0, mode == 2 ? 1 : 0);
            FaceDetector modeDetector(options);
            BlinkCounter scan(modeDetector.makeOpennessScale()), all(modeDetector.makeOpennessScale());
            cv::VideoCapture capture(video.string(), cv::CAP_FFMPEG);
            cv::Mat frame;
            std::size_t i = 0;
            for (; capture.read(frame); ++i) {
                if (!camera.delivers(i)) continue;
                const auto face = modeDetector.detect(frame);
                if (!face || !face->eyeOpenness) continue;
                const double t = double(i) / fps;
                all.feed(*face, t, long(i), false);
                if (face->quality >= minQuality) scan.feed(*face, t, long(i), trace && mode == 0);
                if (mode == 0) {
                    ++faces;
                    gated += face->quality >= minQuality;
                    if (still.empty() && face->quality >= minQuality) still = frame.clone();
                }
            }
            if (mode == 0) frames = i;
            countedBy[0][mode] = scan.blinks;
            countedBy[1][mode] = all.blinks;
        }
        const auto& videoLabels = labels[video.filename().string()];
        std::vector<Label> blinksHere, ignored;
        for (const auto& l : videoLabels) (l.blink > 0 ? blinksHere : ignored).push_back(l);
        labelled += blinksHere.size();
        doNotCount += ignored.size();
        // Labels mark frames by eye; allow a frame or two either side.
        const long early = long(std::lround(0.1 * fps)), slack = long(std::lround(0.2 * fps));

        std::string cells;
        for (int all = 0; all < 2; ++all) {
            for (int mode = 0; mode < modes; ++mode) {
                const std::vector<long>& counted = countedBy[all][mode];
                Tally& t = tally[all][mode];
                std::vector<bool> used(blinksHere.size(), false);
                std::size_t matched = 0, falseBlinks = 0;
                const std::string label = std::string(all ? "all frames, " : "scan, ") + modeNames[mode];
                for (long f : counted) {
                    bool ok = false;
                    for (std::size_t b = 0; b < blinksHere.size() && !ok; ++b)
                        if (!used[b] && f >= blinksHere[b].start - early && f <= blinksHere[b].end + slack) used[b] = ok = true;
                    if (ok) {
                        ++matched;
                        continue;
                    }
                    ++falseBlinks;
                    bool inIgnored = false;
                    for (const auto& l : ignored) inIgnored |= f >= l.start - early && f <= l.end + slack;
                    t.inDoNotCount += inIgnored;
                    notes += "  " + video.filename().string() + " (" + label + "): false blink, eyes closed at frame " +
                             std::to_string(f) + (inIgnored ? " (a do-not-count row)" : "") + "\n";
                }
                for (std::size_t b = 0; b < blinksHere.size(); ++b)
                    if (!used[b])
                        notes += "  " + video.filename().string() + " (" + label + "): missed the blink of frames " +
                                 std::to_string(blinksHere[b].start) + "-" + std::to_string(blinksHere[b].end) + "\n";
                t.counted += counted.size();
                t.matched += matched;
                t.falseBlinks += falseBlinks;
                if (mode == 0) {
                    char cell[64];
                    std::snprintf(cell, sizeof cell, " | %7zu %7zu %5zu", counted.size(), matched, falseBlinks);
                    cells += cell;
                }
            }
        }
        std::printf("%-36s %6zu %6zu %7zu %8zu%s\n", video.filename().c_str(), frames, faces, gated,
                    blinksHere.size(), cells.c_str());

        // A still photo: the same frame again and again never blinks.
        if (!still.empty()) {
            ++stills;
            BlinkCounter counter(detector.makeOpennessScale());
            for (int i = 0; i < 100; ++i) {
                const auto face = detector.detect(still);
                if (face && face->quality >= minQuality && face->eyeOpenness) counter.feed(*face, i * throttle, i, false);
            }
            stillBlinks += counter.blinks.size();
        }
    }
    if (!notes.empty()) std::printf("\n%s", notes.c_str());
    std::printf("\n%-32s %8s %8s %8s %8s %22s\n", "", "labelled", "counted", "matched", "false", "false in do-not-count");
    for (int all = 0; all < 2; ++all)
        for (int mode = 0; mode < modes; ++mode) {
            const Tally& t = tally[all][mode];
            const std::string name = std::string(all ? "all frames, " : "scan, ") + modeNames[mode];
            std::printf("%-32s %8zu %8zu %8zu %8zu %14zu of %zu\n", name.c_str(), labelled, t.counted, t.matched,
                        t.falseBlinks, t.inDoNotCount, doNotCount);
        }
    std::printf("still photos (a frame of each video fed 100 times): %zu blinks in %zu stills\n", stillBlinks, stills);
    return 0;
}

// ---------------------------------------------------------------- attacks

using FaceData::Motion;
using FaceData::motionKinds;
using FaceData::motionName;

// --trace: both readings behind the scan's openness, frame by frame, as EyeMotionOpennessScale forms them.
struct OpennessTrace {
    RelativeOpennessScale landmarks, reference;
    FaceMotionTracker motion;
    std::uint64_t generation = 0;
    void print(const DetectedFace& face, double seconds, long frame, float y, const LivenessTracker& tracker) {
        const float byLandmarks = landmarks.toTrackerScale(face.eyeOpenness.value_or(NAN), seconds);
        const auto inReference = motion.referenceOpenness(face.frame, face.landmarks, seconds);
        if (motion.generation() != generation) reference = RelativeOpennessScale(), generation = motion.generation();
        const float byReference = inReference ? reference.toTrackerScale(*inReference, seconds) : NAN;
        const auto& check = motion.lastCheck();
        std::printf("  frame %4ld  q %.2f  raw %.3f -> %.3f  reference %7.2f -> %6.3f (gen %llu, stretch %.2f, shape %.2f, "
                    "points %zu, spread %.2f)  fed %.3f  phase %d  blinks %lld\n",
                    frame, double(face.quality), double(face.eyeOpenness.value_or(NAN)), double(byLandmarks),
                    double(inReference.value_or(NAN)), double(byReference), static_cast<unsigned long long>(generation),
                    check.stretch, check.shapeChange, check.points, check.spread, double(y), int(tracker.phase()), static_cast<long long>(tracker.blinkCount()));
    }
};

int attacks(int argc, char** argv) {
    std::size_t every = 1, first = 0;
    std::string only;
    bool trace = false;
    fs::path data;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--every" && i + 1 < argc) {
            const auto v = FaceData::toLong(argv[++i]);
            if (!v || *v < 1) return usage();
            every = std::size_t(*v);
        } else if (a == "--first" && i + 1 < argc) {
            const auto v = FaceData::toLong(argv[++i]);
            if (!v || *v < 0) return usage();
            first = std::size_t(*v);
        } else if (a.starts_with("--") || !data.empty()) {
            return usage();
        } else {
            data = a;
        }
    }
    if (data.empty()) return usage();
    const std::vector<fs::path> all = FaceData::attackStills(data);
    // Each still's clips are seeded by its place among all stills: the same clips however many are run.
    std::vector<fs::path> stills;
    std::vector<unsigned> seeds;
    for (std::size_t i = first; i < all.size(); i += every)
        if (all[i].string().find(only) != std::string::npos) stills.push_back(all[i]), seeds.push_back(unsigned(i));
    if (stills.empty()) {
        std::fprintf(stderr, "face-eval: no stills under %s\n", data.c_str());
        return 1;
    }
    FaceDetector::Options options;
    // One detector for the whole suite (its landmark model is read once), told to forget the face
    // it followed whenever a new clip starts.
    FaceDetector detector(options);
    if (const auto error = detector.loadError()) {
        std::fprintf(stderr, "face-eval: %s\n", error->c_str());
        return 1;
    }
    const float minQuality = Settings{}.minQuality;
    constexpr double fps = 25;
    std::printf("attack suite: %zu of %zu stills, each moved as a plane in %zu ways (8 dips of 0.15–0.6 s, noise, JPEG)\n",
                stills.size(), all.size(), std::size(motionKinds));
    std::printf("the scan's blink path (quality ≥ %.2f); detections of the 25 fps clip reused by the throttled modes;\n"
                "'landmarks only' is the ratio through the relative scale alone, for comparison\n\n",
                double(minQuality));

    struct Row {
        std::size_t clips = 0, frames = 0, usable = 0, falseBlinks[modes] = {}, landmarkOnly[modes] = {}, clipsFooled[modes] = {};
    };
    std::map<Motion, Row> rows;
    std::string notes;
    // Where the time goes: making the clips, searching their frames, the blink path of all modes.
    double clipSeconds = 0, detectSeconds = 0, blinkSeconds = 0;
    std::size_t searched = 0, skipped = 0;
    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    for (std::size_t s = 0; s < stills.size(); ++s) {
        const cv::Mat photo = cv::imread(stills[s].string(), cv::IMREAD_COLOR);
        if (photo.empty()) continue;
        // The frames at rest are the same in every motion's clip (same place, same noise): they are
        // made and searched once per photo, by the first motion, and reused by the others.
        std::map<std::size_t, std::optional<DetectedFace>> atRest;
        for (const Motion kind : motionKinds) {
            auto started = Clock::now();
            const double madeBefore = clipSeconds;
            const auto motion = FaceData::attackMotion(photo, kind, seeds[s], fps);
            std::vector<std::optional<DetectedFace>> faces(motion.size());
            const auto frameAt = [&](std::size_t i) {
                const auto t = Clock::now();
                cv::Mat frame = FaceData::attackFrame(photo, motion[i], FaceData::attackNoiseSeed(seeds[s], i));
                clipSeconds += since(t);
                return frame;
            };
            detector.forgetFace();
            // The face at rest (the clip's first frame), carried by each frame's motion, tells how
            // wide and how turned in the image it will be: frames where that face could not pass
            // the quality gate (with a quarter to spare for the detector's own box) are not
            // searched. The scan would have found nothing there or dropped what it found.
            std::vector<cv::Point2f> corners;
            const auto mayPass = [&](const cv::Matx33d& fromRest) {
                std::vector<cv::Point2f> moved;
                cv::perspectiveTransform(corners, moved, cv::Mat(fromRest));
                const cv::Point2f along = (moved[1] + moved[2] - moved[0] - moved[3]) * 0.5f;
                float left = moved[0].x, right = moved[0].x;
                for (const auto& p : moved) left = std::min(left, p.x), right = std::max(right, p.x);
                const float width = (right - left) / float(FaceData::attackFrameSize.width);
                return 1.25f * FaceGeometry::estimateQuality(width, std::atan2(along.y, along.x), 0.0f) >= minQuality;
            };
            for (std::size_t i = 0; i < motion.size(); ++i) {
                const bool rest = motion[i] == motion[0];
                if (rest && atRest.contains(i)) faces[i] = atRest[i];
                else if (!corners.empty() && !mayPass(motion[i] * motion[0].inv())) ++skipped;
                else faces[i] = detector.detect(frameAt(i)), ++searched;
                if (rest) atRest[i] = faces[i];
                if (i == 0 && faces[0]) {
                    const NormalizedRect& b = faces[0]->boundingBox;
                    const cv::Size f = FaceData::attackFrameSize;
                    const auto px = [&](double x, double y) { return cv::Point2f(float(x * f.width), float((1 - y) * f.height)); };
                    corners = {px(b.x, b.y), px(b.maxX(), b.y), px(b.maxX(), b.maxY()), px(b.x, b.maxY())};
                }
            }
            detectSeconds += since(started) - (clipSeconds - madeBefore);
            started = Clock::now();
            Row& row = rows[kind];
            ++row.clips;
            row.frames += faces.size();
            for (int mode = 0; mode < modes; ++mode) {
                Throttle camera(fps, mode ? throttle : 0, mode == 2 ? 1 : 0);
                BlinkCounter scan(detector.makeOpennessScale());
                BlinkCounter landmarks(std::make_unique<RelativeOpennessScale>());
                for (std::size_t i = 0; i < faces.size(); ++i) {
                    if (!camera.delivers(i)) continue;
                    const auto& face = faces[i];
                    if (!face || !face->eyeOpenness || face->quality < minQuality) continue;
                    row.usable += mode == 0;
                    scan.feed(*face, double(i) / fps, long(i), false);
                    landmarks.feed(*face, double(i) / fps, long(i), false);
                }
                row.falseBlinks[mode] += scan.blinks.size();
                row.landmarkOnly[mode] += landmarks.blinks.size();
                row.clipsFooled[mode] += !scan.blinks.empty();
                if (trace && !scan.blinks.empty()) {
                    std::printf("%s, %s (%s):\n", stills[s].c_str(), motionName(kind), modeNames[mode]);
                    Throttle again(fps, mode ? throttle : 0, mode == 2 ? 1 : 0);
                    BlinkCounter replay(detector.makeOpennessScale());
                    OpennessTrace readings;
                    for (std::size_t i = 0; i < faces.size(); ++i) {
                        if (!again.delivers(i)) continue;
                        const auto& face = faces[i];
                        if (!face || !face->eyeOpenness || face->quality < minQuality) {
                            std::printf("  frame %4zu  %s\n", i, face ? "below the quality gate" : "no face");
                            continue;
                        }
                        replay.feed(*face, double(i) / fps, long(i), false);
                        readings.print(*face, double(i) / fps, long(i), replay.lastFed, replay.tracker);
                    }
                }
                if (!scan.blinks.empty())
                    notes += "  " + stills[s].parent_path().filename().string() + "/" + stills[s].filename().string() +
                             ", " + motionName(kind) + " (" + modeNames[mode] + "): " +
                             std::to_string(scan.blinks.size()) + " false blink(s)\n";
            }
            blinkSeconds += since(started);
        }
        if ((s + 1) % 10 == 0) std::fprintf(stderr, "  %zu of %zu stills\n", s + 1, stills.size());
    }
    std::printf("time: making frames %.0f s, detection %.0f s (%zu frames searched, %zu too narrow or turned to pass the gate), "
                "blink path (3 modes) %.0f s\n\n",
                clipSeconds, detectSeconds, searched, skipped, blinkSeconds);
    if (!notes.empty()) std::printf("%s\n", notes.c_str());
    std::printf("%-32s %6s %7s %7s | %-26s | %-26s\n", "", "", "", "usable", "false blinks", "landmarks only (before)");
    std::printf("%-32s %6s %7s %7s | %8s %8s %8s | %8s %8s %8s\n", "motion", "clips", "frames", "frames", modeNames[0],
                modeNames[1], "+1 frame", modeNames[0], modeNames[1], "+1 frame");
    Row total;
    for (const Motion kind : motionKinds) {
        const Row& r = rows[kind];
        std::printf("%-32s %6zu %7zu %7zu | %8zu %8zu %8zu | %8zu %8zu %8zu\n", motionName(kind), r.clips, r.frames,
                    r.usable, r.falseBlinks[0], r.falseBlinks[1], r.falseBlinks[2], r.landmarkOnly[0], r.landmarkOnly[1],
                    r.landmarkOnly[2]);
        total.clips += r.clips;
        total.frames += r.frames;
        total.usable += r.usable;
        for (int m = 0; m < modes; ++m) {
            total.falseBlinks[m] += r.falseBlinks[m];
            total.landmarkOnly[m] += r.landmarkOnly[m];
        }
    }
    std::printf("%-32s %6zu %7zu %7zu | %8zu %8zu %8zu | %8zu %8zu %8zu\n", "all", total.clips, total.frames, total.usable,
                total.falseBlinks[0], total.falseBlinks[1], total.falseBlinks[2], total.landmarkOnly[0],
                total.landmarkOnly[1], total.landmarkOnly[2]);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "photos") return photos(argc - 2, argv + 2);
    if (mode == "blinks") return blinks(argc - 2, argv + 2);
    if (mode == "attacks") return attacks(argc - 2, argv + 2);
    return usage();
}
