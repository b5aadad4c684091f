// face-eval: how well the face engine tells people apart and sees blinks, on real photos and video.
//
//   face-eval photos [--best-of K] [--threshold T] [--groups [CSV]] [--fit FOLDER]... [--cache FILE] FOLDER...
//     Each FOLDER holds one folder of photos per person (photos of any size; faces too small for the
//     detector at full size are looked for once more in the photo enlarged 2×). Prints, with the
//     engine's distance, the genuine and impostor distance statistics over all pairs of photos, FAR
//     and FRR at the threshold (default 0.30), the equal-error rate, and best-of-K results: each
//     person of the first FOLDER with at least K photos enrols the first K (in natural name order),
//     the rest are genuine probes, every photo of every other person (all folders) is an impostor
//     probe; a probe matches when its smallest distance to the K is within the threshold.
//     Then, for each FOLDER as a set of its own, the distances compared: today's (the previous
//     engine's offset), the engine's, and with --fit the alternatives fitted on the fit folders only
//     (raw cosine, and an offset from a mean in which each group weighs the same, each scaled so that
//     the fit folders' genuine pairs are rejected at the threshold as often as today's distance
//     rejects them): FRR, FAR and worst-group FAR at the threshold, equal-error rate, and FAR and
//     worst-group FAR at the threshold that gives today's FRR on the set; with groups, the FAR among
//     pairs of different people of each group. Groups come from a CSV beside a folder's identity
//     folders with columns face_id and face_eth (as london_info.csv), or from --groups CSV for all.
//     --cache FILE keeps the raw descriptors by photo path between runs.
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
//     blink, counts the false blinks of short scans (1.5 s) started every 0.5 s, and runs fresh scans that start 1, 3, 6 and 10 frames before each labelled blink (a
//     blink among a scan's first frames). --trace prints every frame the scan feeds in each mode
//     and in the scans that start just before a blink, with the motion checks behind it.
//
//   face-eval attacks [--every N [--first K]] [--only TEXT] [--kinds planar|folded|strip] [--trace] [--save DIR]
//     DATA_FOLDER
//     The photo attack suite, made at run time from every still of DATA_FOLDER (blink/closed_eyes/
//     *_open.*, faces/dev, faces/london_pairs; with --every N every N-th from the K-th (counted
//     from 0; two processes with --first 0 and 1 share the suite), with --only those whose
//     path holds TEXT; a still's clips are the same however it is picked): each photo moved as a
//     flat plane in front of a 25 fps camera (tilted about its horizontal or vertical axis up to
//     where the face is lost, turned in the image, squeezed, brought closer and further, and a
//     combination), and folded or bent (folded across at lines from the brows to the nostrils with
//     the upper, the lower or both parts turned, folded along the nose, bent about a horizontal or
//     a vertical axis, only a strip across the eyes turned; 30° to 80°, away from the camera and
//     towards it; --kinds picks either group, or the eye strip alone), in repeated dips of 0.15 to
//     0.6 s, with sensor noise and JPEG compression. Runs each clip through the scan's blink path
//     natively, through the 0.05 s throttle, and natively from the first dip on (a scan whose first
//     frames are already in motion), and prints the false blinks per kind of motion (the target is
//     none), the clips in which the scan read the eyes closed at all, what the landmark ratio alone
//     would have counted, and where the time went. --trace prints, for every clip that blinked, both
//     readings behind each frame the scan fed; --save writes every searched frame into DIR (to look
//     at one still's clips). Only the detector, landmarks and motion tracking run.
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
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
                 "usage: face-eval photos [--best-of K] [--threshold T] [--groups [CSV]] [--fit FOLDER]... [--cache FILE]\n"
                 "                        FOLDER [FOLDER...]\n"
                 "       face-eval blinks [--upsample] [--trace] BLINKS_CSV [VIDEO...]\n"
                 "       face-eval attacks [--every N [--first K]] [--only TEXT] [--kinds planar|folded|strip] [--trace] [--save DIR] DATA_FOLDER\n");
    return 2;
}

// ---------------------------------------------------------------- photos

struct Photo {
    std::size_t identity;
    fs::path path;
    std::vector<float> raw;  // the network's descriptor, before any offset
};

struct Person {
    std::string name;
    std::size_t folder;  // index among the FOLDER arguments; fit folders come after them
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

// A distance under comparison: the cosine distance of the raw descriptors minus an offset, times a
// scale. The scale only decides where the fixed threshold falls; the offset decides which pairs are
// nearer.
struct Candidate {
    using Offset = std::array<float, DescriptorRecognizer::descriptorLength>;
    std::string name;
    Offset offset{};
    float scale = 1;
    const std::vector<Photo>* photos = nullptr;

    float unscaled(std::size_t a, std::size_t b) const {
        return DescriptorRecognizer::offsetDistance((*photos)[a].raw, (*photos)[b].raw, offset, 1);
    }
    float operator()(std::size_t a, std::size_t b) const {
        return DescriptorRecognizer::offsetDistance((*photos)[a].raw, (*photos)[b].raw, offset, scale);
    }
};

// The pairs of a set of people: genuine distances, and impostor distances with the group both
// people share (empty when they differ or are unknown).
struct Pairs {
    std::vector<float> genuine;
    std::vector<std::pair<float, std::string>> impostor;
};

template <class Distance>
Pairs pairsOf(const std::vector<Person>& people, const std::vector<std::size_t>& members, Distance&& d) {
    Pairs out;
    for (std::size_t x = 0; x < members.size(); ++x) {
        const Person& a = people[members[x]];
        for (std::size_t i = 0; i < a.photos.size(); ++i)
            for (std::size_t j = i + 1; j < a.photos.size(); ++j) out.genuine.push_back(d(a.photos[i], a.photos[j]));
        for (std::size_t y = x + 1; y < members.size(); ++y) {
            const Person& b = people[members[y]];
            const std::string shared = !a.group.empty() && a.group == b.group ? a.group : std::string();
            for (std::size_t i : a.photos)
                for (std::size_t j : b.photos) out.impostor.emplace_back(d(i, j), shared);
        }
    }
    std::sort(out.genuine.begin(), out.genuine.end());
    return out;
}

double frrAt(const std::vector<float>& sortedGenuine, float t) {
    if (sortedGenuine.empty()) return 0;
    return double(sortedGenuine.end() - std::upper_bound(sortedGenuine.begin(), sortedGenuine.end(), t)) /
           double(sortedGenuine.size());
}

// The threshold at which `sortedGenuine` is rejected at the rate `frr` (the largest distance that
// still has to be accepted, halfway to the next one).
float thresholdForFrr(const std::vector<float>& sortedGenuine, double frr) {
    if (sortedGenuine.empty()) return 0;
    const std::size_t n = sortedGenuine.size();
    const auto accepted = std::size_t(std::ceil(double(n) * (1 - frr) - 1e-9));
    if (accepted == 0) return sortedGenuine.front() / 2;
    if (accepted >= n) return sortedGenuine.back();
    return (sortedGenuine[accepted - 1] + sortedGenuine[accepted]) / 2;
}

// Equal-error rate: over all distances as thresholds, where FAR and FRR are closest.
double equalErrorRate(const Pairs& p) {
    if (p.genuine.empty() || p.impostor.empty()) return 0;
    std::vector<float> impostor;
    for (const auto& [d, g] : p.impostor) impostor.push_back(d);
    std::sort(impostor.begin(), impostor.end());
    std::vector<float> candidates = p.genuine;
    candidates.insert(candidates.end(), impostor.begin(), impostor.end());
    std::sort(candidates.begin(), candidates.end());
    double bestGap = 2, eer = 0;
    for (float t : candidates) {
        const double frr = frrAt(p.genuine, t);
        const double far = double(std::upper_bound(impostor.begin(), impostor.end(), t) - impostor.begin()) / double(impostor.size());
        if (std::fabs(far - frr) < bestGap) bestGap = std::fabs(far - frr), eer = (far + frr) / 2;
    }
    return eer;
}

// False accepts at `t`: overall, and among pairs of different people of the same group.
struct Accepts {
    std::size_t fa = 0, pairs = 0;
    std::map<std::string, std::pair<std::size_t, std::size_t>> group;  // group → (false accepts, pairs)
    std::string worst() const {
        std::string name;
        double rate = -1;
        for (const auto& [g, v] : group)
            if (v.second && percent(v.first, v.second) > rate) rate = percent(v.first, v.second), name = g;
        return name;
    }
};
Accepts acceptsAt(const Pairs& p, float t) {
    Accepts a;
    for (const auto& [d, g] : p.impostor) {
        const bool accepted = d <= t;
        a.fa += accepted;
        ++a.pairs;
        if (!g.empty()) {
            a.group[g].first += accepted;
            ++a.group[g].second;
        }
    }
    return a;
}

// The mean raw descriptor of `members`, each group weighing the same (a group: the people sharing
// a label; only groups of at least 3 people count); without any such group, each person the same.
std::vector<float> balancedMean(const std::vector<Photo>& photos, const std::vector<Person>& people,
                                const std::vector<std::size_t>& members) {
    std::map<std::string, std::vector<std::size_t>> groups;
    for (std::size_t m : members)
        if (!people[m].photos.empty()) groups[people[m].group].push_back(m);
    std::erase_if(groups, [](const auto& g) { return g.first.empty() || g.second.size() < 3; });
    if (groups.empty())
        for (std::size_t m : members)
            if (!people[m].photos.empty()) groups["all"].push_back(m);
    const auto meanOf = [&](const std::vector<std::size_t>& ps, auto&& vectorOf) {
        std::vector<double> sum;
        for (std::size_t p : ps) {
            const std::vector<double> v = vectorOf(p);
            sum.resize(v.size(), 0);
            for (std::size_t i = 0; i < v.size(); ++i) sum[i] += v[i] / double(ps.size());
        }
        return sum;
    };
    const auto personMean = [&](std::size_t person) {
        return meanOf(people[person].photos, [&](std::size_t ph) { return std::vector<double>(photos[ph].raw.begin(), photos[ph].raw.end()); });
    };
    std::vector<double> total;
    for (const auto& [name, ps] : groups) {
        const auto g = meanOf(ps, personMean);
        total.resize(g.size(), 0);
        for (std::size_t i = 0; i < g.size(); ++i) total[i] += g[i] / double(groups.size());
    }
    return {total.begin(), total.end()};
}

int photos(int argc, char** argv) {
    std::size_t k = 4;
    float threshold = Settings::fallbackThreshold;
    fs::path groupsCsv, cachePath;
    std::vector<fs::path> roots, fitRoots;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--best-of" && i + 1 < argc) {
            const auto v = FaceData::toLong(argv[++i]);
            if (!v || *v < 1) return usage();
            k = std::size_t(*v);
        } else if (a == "--threshold" && i + 1 < argc) {
            threshold = std::stof(argv[++i]);
        } else if (a == "--groups") {
            // Groups are read from a CSV beside each folder anyway; a CSV named here applies to all.
            if (i + 1 < argc && fs::path(argv[i + 1]).extension() == ".csv") groupsCsv = argv[++i];
        } else if (a == "--fit" && i + 1 < argc) {
            fitRoots.emplace_back(argv[++i]);
        } else if (a == "--cache" && i + 1 < argc) {
            cachePath = argv[++i];
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

    // Raw descriptors by photo path, from and to --cache (they depend only on the photo and the models).
    std::map<std::string, std::vector<float>> cache;
    if (!cachePath.empty())
        if (const auto csv = FaceData::readCsv(cachePath))
            for (const auto& row : csv->rows) {
                if (row.size() != 129) continue;
                std::vector<float> v;
                for (std::size_t i = 1; i < row.size(); ++i) v.push_back(std::stof(row[i]));
                cache[row[0]] = std::move(v);
            }
    const std::size_t cachedBefore = cache.size();

    std::vector<fs::path> allRoots = roots;
    allRoots.insert(allRoots.end(), fitRoots.begin(), fitRoots.end());
    std::vector<Person> people;
    std::vector<Photo> all;
    std::size_t missed = 0;
    for (std::size_t r = 0; r < allRoots.size(); ++r) {
        const auto ids = FaceData::identities(allRoots[r]);
        if (ids.empty()) {
            std::fprintf(stderr, "face-eval: %s holds no folders of photos\n", allRoots[r].c_str());
            return 1;
        }
        std::map<std::string, std::string> groups;
        if (!groupsCsv.empty()) groups = readGroups(groupsCsv);
        else
            for (const auto& e : fs::directory_iterator(allRoots[r]))
                if (e.path().extension() == ".csv" && groups.empty()) groups = readGroups(e.path());
        for (const auto& id : ids) {
            Person person{id.name, r, groupOf(groups, id.name), {}};
            for (const auto& path : id.photos) {
                std::optional<std::vector<float>> raw;
                if (auto it = cache.find(path.string()); it != cache.end()) {
                    raw = it->second;
                } else {
                    const cv::Mat image = cv::imread(path.string(), cv::IMREAD_COLOR);
                    const auto face = image.empty() ? std::nullopt : detector.detect(image);
                    raw = face ? recognizer.rawDescriptor(*face) : std::nullopt;
                    if (raw) cache[path.string()] = *raw;
                }
                if (!raw) {
                    std::printf("no face: %s\n", path.c_str());
                    ++missed;
                    continue;
                }
                person.photos.push_back(all.size());
                all.push_back({people.size(), path, std::move(*raw)});
            }
            people.push_back(std::move(person));
        }
    }
    if (!cachePath.empty() && cache.size() != cachedBefore) {
        std::ofstream out(cachePath);
        out << "path";
        for (int i = 0; i < 128; ++i) out << ",d" << i;
        out << "\n";
        for (const auto& [path, v] : cache) {
            out << '"' << path << '"';
            for (float x : v) {
                char text[32];
                std::snprintf(text, sizeof text, "%.9g", double(x));
                out << ',' << text;
            }
            out << "\n";
        }
    }
    const auto inRoots = [&](std::size_t from, std::size_t to) {
        std::vector<std::size_t> members;
        for (std::size_t p = 0; p < people.size(); ++p)
            if (people[p].folder >= from && people[p].folder < to) members.push_back(p);
        return members;
    };
    const std::vector<std::size_t> evaluated = inRoots(0, roots.size());

    // The engine's own embedding and distance.
    std::vector<FaceEmbedding> embeddings;
    for (const auto& p : all) embeddings.push_back(DescriptorRecognizer::embeddingOfRaw(p.raw));
    const auto engineDistance = [&](std::size_t a, std::size_t b) {
        return recognizer.distance(embeddings[a].vector, embeddings[b].vector);
    };

    std::size_t evaluatedPhotos = 0;
    for (std::size_t p : evaluated) evaluatedPhotos += people[p].photos.size();
    std::printf("%s: %zu photos of %zu people", recognizer.engineName().c_str(), evaluatedPhotos, evaluated.size());
    std::printf(" (%zu without a usable face) in", missed);
    for (const auto& r : roots) std::printf(" %s", r.c_str());
    if (!fitRoots.empty()) {
        std::printf("; fitted on");
        for (const auto& r : fitRoots) std::printf(" %s", r.c_str());
    }
    std::printf("\nthreshold %.2f (match: distance ≤ threshold)\n\n", double(threshold));

    // Every pair of the evaluated folders, with the engine's distance.
    const std::size_t n = all.size();
    std::vector<float> dist(n * n, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) dist[i * n + j] = dist[j * n + i] = engineDistance(i, j);
    const Pairs enginePairs = pairsOf(people, evaluated, [&](std::size_t a, std::size_t b) { return dist[a * n + b]; });
    Stats genuine{enginePairs.genuine}, impostor;
    for (const auto& [d, g] : enginePairs.impostor) impostor.d.push_back(d);
    std::printf("pairwise distances\n");
    genuine.print("genuine");
    impostor.print("impostor");
    {
        const Accepts a = acceptsAt(enginePairs, threshold);
        const auto fr = std::size_t(std::lround(frrAt(enginePairs.genuine, threshold) * double(enginePairs.genuine.size())));
        std::printf("  at %.2f: FRR %.3f %% (%zu of %zu genuine pairs)  FAR %.3f %% (%zu of %zu impostor pairs)\n",
                    double(threshold), percent(fr, enginePairs.genuine.size()), fr, enginePairs.genuine.size(),
                    percent(a.fa, a.pairs), a.fa, a.pairs);
        std::printf("  equal-error rate %.3f %%\n", equalErrorRate(enginePairs) * 100);
    }

    // Best of K.
    std::size_t enrolled = 0, gTrials = 0, gMiss = 0, iTrials = 0, iAccept = 0;
    for (std::size_t p : evaluated) {
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
        for (std::size_t q : evaluated) {
            if (q == p) continue;
            for (std::size_t probe : people[q].photos) {
                ++iTrials;
                if (best(probe) <= threshold) {
                    ++iAccept;
                    std::printf("  best-of-%zu false accept: %s probed with %s\n", k, person.name.c_str(), all[probe].path.c_str());
                }
            }
        }
    }
    std::printf("\nbest-of-%zu (people of %s with ≥ %zu photos enrol their first %zu: %zu people)\n", k, roots[0].c_str(), k,
                k, enrolled);
    std::printf("  FRR %.3f %% (%zu of %zu genuine probes)  FAR %.4f %% (%zu of %zu impostor probes)\n",
                percent(gMiss, gTrials), gMiss, gTrials, percent(iAccept, iTrials), iAccept, iTrials);

    // The distances compared, set by set: today's (the offset of the engine "ResNet128-dlib/mu1"),
    // the engine's, and with --fit the alternatives whose constants are fitted on the fit folders
    // only (never on the set they are judged on): raw cosine, and an offset from a mean in which each
    // group weighs the same. A fitted scale puts each alternative's threshold where the fit folders'
    // genuine pairs are rejected as often as today's distance rejects them at the threshold.
    std::vector<Candidate> candidates;
    {
        Candidate today{"today: cosine of raw - 0.80 mu0 (mu1)", {}, 1, &all};
        for (std::size_t i = 0; i < today.offset.size(); ++i)
            today.offset[i] = DescriptorRecognizer::offsetWeight * DescriptorRecognizer::legacyMean[i];
        candidates.push_back(today);
        candidates.push_back({"engine " + recognizer.engineName(), {}, 1, &all});
    }
    if (!fitRoots.empty()) {
        const std::vector<std::size_t> fit = inRoots(roots.size(), allRoots.size());
        const std::vector<float> mu = balancedMean(all, people, fit);
        Candidate balanced{"fitted: raw - 0.80 balanced mean, scaled", {}, 1, &all};
        for (std::size_t i = 0; i < balanced.offset.size() && i < mu.size(); ++i)
            balanced.offset[i] = DescriptorRecognizer::offsetWeight * mu[i];
        candidates.push_back({"fitted: raw cosine, scaled", {}, 1, &all});
        candidates.push_back(balanced);
        const Pairs todayFit = pairsOf(people, fit, candidates[0]);
        const double target = frrAt(todayFit.genuine, threshold);
        for (std::size_t c = 2; c < candidates.size(); ++c) {
            const Pairs p = pairsOf(people, fit, [&](std::size_t a, std::size_t b) { return candidates[c].unscaled(a, b); });
            const float t = thresholdForFrr(p.genuine, target);
            candidates[c].scale = t > 0 ? threshold / t : 1;
            std::printf("\n%s: threshold %.4f of the unscaled distance (scale %.4f), where the fit folders' FRR is today's %.2f %%",
                        candidates[c].name.c_str(), double(t), double(candidates[c].scale), target * 100);
        }
        // The fitted offset and scale, as the constants of KorvelIDKit/Face/DescriptorCalibration.cpp.
        std::printf("\n\nconst float DescriptorRecognizer::distanceScale = %.6gf;\n", double(candidates[3].scale));
        std::printf("const std::array<float, 128> DescriptorRecognizer::offsetMean = {\n");
        for (std::size_t i = 0; i < mu.size(); ++i)
            std::printf("%s%.9gf,%s", i % 8 == 0 ? "    " : " ", double(mu[i]), i % 8 == 7 ? "\n" : "");
        std::printf("};\n");
    }
    // The engine's own distance (its embedding and its distance, not a candidate's formula).
    const auto distanceOf = [&](std::size_t c) {
        return [&, c](std::size_t a, std::size_t b) { return c == 1 ? dist[a * n + b] : candidates[c](a, b); };
    };
    for (std::size_t r = 0; r < roots.size(); ++r) {
        const std::vector<std::size_t> members = inRoots(r, r + 1);
        const Pairs today = pairsOf(people, members, distanceOf(0));
        std::set<std::string> groups;
        std::size_t photoCount = 0;
        for (std::size_t m : members) groups.insert(people[m].group), photoCount += people[m].photos.size();
        groups.erase("");
        std::printf("\nset %s: %zu people, %zu photos, %zu genuine and %zu impostor pairs", roots[r].c_str(), members.size(),
                    photoCount, today.genuine.size(), today.impostor.size());
        for (const auto& g : groups) {
            std::size_t count = 0;
            for (std::size_t m : members) count += people[m].group == g;
            std::printf("%s %s %zu", g == *groups.begin() ? "; people per group:" : ",", g.c_str(), count);
        }
        const double todayFrr = frrAt(today.genuine, threshold);
        std::printf("\n  %-44s %7s %8s %7s  %-22s  | at today's FRR (%.2f %%): FAR, worst group\n", "distance", "FRR %",
                    "FAR %", "EER %", "worst group FAR %", todayFrr * 100);
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const Pairs p = c == 0 ? today : pairsOf(people, members, distanceOf(c));
            const Accepts at = acceptsAt(p, threshold);
            const Accepts equal = acceptsAt(p, thresholdForFrr(p.genuine, todayFrr));
            const auto cell = [](const Accepts& a) {
                const std::string w = a.worst();
                if (w.empty()) return std::string("-");
                const auto& v = a.group.at(w);
                char s[96];
                std::snprintf(s, sizeof s, "%s %.2f (%zu/%zu)", w.c_str(), percent(v.first, v.second), v.first, v.second);
                return std::string(s);
            };
            std::printf("  %-44s %7.2f %8.3f %7.3f  %-22s  | %.3f, %s\n", candidates[c].name.c_str(), frrAt(p.genuine, threshold) * 100,
                        percent(at.fa, at.pairs), equalErrorRate(p) * 100, cell(at).c_str(), percent(equal.fa, equal.pairs),
                        cell(equal).c_str());
            if (at.group.size() > 1) {
                std::printf("  %-44s", "  same-group FAR % at the threshold:");
                for (const auto& [g, v] : at.group) std::printf("  %s %.2f (%zu/%zu)", g.c_str(), percent(v.first, v.second), v.first, v.second);
                std::printf("\n");
            }
        }
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
    std::size_t closures = 0;  // times the tracker saw the eyes close, counted or not
    float lastFed = 0;
    std::vector<long> blinks;

    explicit BlinkCounter(std::unique_ptr<EyeOpennessScale> s) : scale(std::move(s)) {}
    void feed(const DetectedFace& face, double seconds, long frame, bool trace) {
        const auto before = tracker.blinkCount();
        const auto phase = tracker.phase();
        const float y = lastFed = scale->trackerOpenness(face, seconds);
        tracker.update(y);
        if (phase == LivenessTracker::Phase::sawOpen && tracker.phase() == LivenessTracker::Phase::sawClose)
            closedAt = frame, ++closures;
        if (tracker.blinkCount() > before) blinks.push_back(closedAt);
        if (trace)
            std::printf("  frame %5ld  quality %.2f  raw %.3f  scaled %.3f  phase %d  blinks %lld\n", frame,
                        double(face.quality), double(face.eyeOpenness.value_or(0)), double(y), int(tracker.phase()),
                        static_cast<long long>(tracker.blinkCount()));
    }
};

// --trace: both readings behind the scan's openness, frame by frame, as EyeMotionOpennessScale forms them.
struct OpennessTrace {
    RelativeOpennessScale landmarks = EyeMotionOpennessScale::landmarkScale(), reference;
    FaceMotionTracker motion;
    std::uint64_t generation = 0;
    void print(const DetectedFace& face, double seconds, long frame, float y, const LivenessTracker& tracker) {
        const float byLandmarks = landmarks.toTrackerScale(face.eyeOpenness.value_or(NAN), seconds);
        const auto inReference = motion.referenceOpenness(face.frame, face.landmarks, seconds);
        if (motion.generation() != generation)
            reference = EyeMotionOpennessScale::referenceScale(motion), generation = motion.generation();
        const float byReference = inReference ? reference.toTrackerScale(*inReference, seconds) : NAN;  // before the brows' rule
        const auto& check = motion.lastCheck();
        std::printf("  frame %4ld  q %.2f  raw %.3f -> %.3f  reference %7.2f -> %6.3f (gen %llu, stretch %.2f, shape %.2f, "
                    "points %zu, spread %.2f, above %zu drift %.3f, below %zu drift %.3f, brows %.3f, lids %.3f)  fed %.3f  phase %d  blinks %lld\n",
                    frame, double(face.quality), double(face.eyeOpenness.value_or(NAN)), double(byLandmarks),
                    double(inReference.value_or(NAN)), double(byReference), static_cast<unsigned long long>(generation),
                    check.stretch, check.shapeChange, check.points, check.spread, check.witnesses, check.witnessDrift, check.belowWitnesses, check.belowDrift, check.browShare, check.lidChange, double(y), int(tracker.phase()), static_cast<long long>(tracker.blinkCount()));
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

// Short scans started every `shortScanEvery` seconds at the video's rate, each fed
// `shortScanLength` seconds: a scan may start anywhere, in a do-not-count row or just after one.
constexpr double shortScanEvery = 0.5, shortScanLength = 1.5;

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
            if (ext == ".mp4" || ext == ".avi" || ext == ".mkv" || ext == ".webm" || ext == ".mov" || ext == ".mpg") videos.push_back(e.path());
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
    // Scans starting this many frames before each labelled blink.
    const std::vector<long> lateStarts{1, 3, 6, 10};
    std::vector<std::size_t> lateTries(lateStarts.size()), lateCounted(lateStarts.size());
    std::size_t labelled = 0, doNotCount = 0, stillBlinks = 0, stills = 0, shortCount = 0, shortFalse = 0;
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
        std::vector<long> shortBlinks;  // where the short scans saw the eyes close
        cv::Mat still;
        std::size_t frames = 0, faces = 0, gated = 0;
        for (int mode = 0; mode < modes; ++mode) {
            Throttle camera(fps, mode ? throttle : 0, mode == 2 ? 1 : 0);
            FaceDetector modeDetector(options);
            BlinkCounter scan(modeDetector.makeOpennessScale()), all(modeDetector.makeOpennessScale());
            cv::VideoCapture capture(video.string(), cv::CAP_FFMPEG);
            cv::Mat frame;
            OpennessTrace readings;
            if (trace) std::printf("%s, %s:\n", video.filename().c_str(), modeNames[mode]);
            std::deque<std::pair<std::size_t, BlinkCounter>> shortScans;  // (first frame, scan)
            const std::size_t shortEvery = std::size_t(std::lround(shortScanEvery * fps)),
                              shortLength = std::size_t(std::lround(shortScanLength * fps));
            std::size_t i = 0;
            for (; capture.read(frame); ++i) {
                if (mode == 0) {
                    if (i % shortEvery == 0) shortScans.emplace_back(i, BlinkCounter(modeDetector.makeOpennessScale()));
                    while (!shortScans.empty() && i >= shortScans.front().first + shortLength) {
                        shortBlinks.insert(shortBlinks.end(), shortScans.front().second.blinks.begin(),
                                           shortScans.front().second.blinks.end());
                        shortScans.pop_front();
                    }
                }
                if (!camera.delivers(i)) continue;
                const auto face = modeDetector.detect(frame);
                if (!face || !face->eyeOpenness) continue;
                const double t = double(i) / fps;
                all.feed(*face, t, long(i), false);
                if (face->quality >= minQuality) {
                    for (auto& [first, shortScan] : shortScans) shortScan.feed(*face, t, long(i), false);
                    scan.feed(*face, t, long(i), false);
                    if (trace) readings.print(*face, t, long(i), scan.lastFed, scan.tracker);
                }
                if (mode == 0) {
                    ++faces;
                    gated += face->quality >= minQuality;
                    if (still.empty() && face->quality >= minQuality) still = frame.clone();
                }
            }
            if (mode == 0) frames = i, shortCount += (frames + shortEvery - 1) / shortEvery;
            for (auto& [first, shortScan] : shortScans)
                shortBlinks.insert(shortBlinks.end(), shortScan.blinks.begin(), shortScan.blinks.end());
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
                    // A closure inside a do-not-count row's own frames, and inside no labelled
                    // blink's, is that row's, though the margins of a blink just after it reach it.
                    const auto inside = [f](const Label& l) { return f >= l.start && f <= l.end; };
                    const bool rowsOwn = std::any_of(ignored.begin(), ignored.end(), inside) &&
                                         std::none_of(blinksHere.begin(), blinksHere.end(), inside);
                    bool ok = false;
                    if (!rowsOwn)
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
        for (long f : shortBlinks) {
            const auto near = [&](const Label& l) { return f >= l.start - early && f <= l.end + slack; };
            if (std::any_of(blinksHere.begin(), blinksHere.end(), near)) continue;
            ++shortFalse;
            const bool inIgnored = std::any_of(ignored.begin(), ignored.end(), near);
            notes += "  " + video.filename().string() + ": a short scan counted a false blink, eyes closed at frame " +
                     std::to_string(f) + (inIgnored ? " (a do-not-count row)" : "") + "\n";
        }

        // Scans that start just before a labelled blink, at the video's rate: the blink is among
        // the scan's very first frames.
        if (!blinksHere.empty()) {
            std::map<long, cv::Mat> kept;
            cv::VideoCapture capture(video.string(), cv::CAP_FFMPEG);
            cv::Mat frame;
            for (long i = 0; capture.read(frame); ++i)
                for (const Label& b : blinksHere)
                    if (i >= b.start - lateStarts.back() && i <= b.end + slack) kept[i] = frame.clone();
            for (std::size_t n = 0; n < lateStarts.size(); ++n)
                for (const Label& b : blinksHere) {
                    detector.forgetFace();
                    BlinkCounter scan(detector.makeOpennessScale());
                    OpennessTrace readings;
                    if (trace)
                        std::printf("%s, a scan starting %ld frame(s) before the blink of frames %ld-%ld:\n",
                                    video.filename().c_str(), lateStarts[n], b.start, b.end);
                    for (long i = std::max(0L, b.start - lateStarts[n]); i <= b.end + slack && kept.contains(i); ++i)
                        if (const auto face = detector.detect(kept[i]); face && face->eyeOpenness && face->quality >= minQuality) {
                            scan.feed(*face, double(i) / fps, i, false);
                            if (trace) readings.print(*face, double(i) / fps, i, scan.lastFed, scan.tracker);
                        }
                    ++lateTries[n];
                    const bool seen = std::any_of(scan.blinks.begin(), scan.blinks.end(),
                                                  [&](long f) { return f >= b.start - early && f <= b.end + slack; });
                    lateCounted[n] += seen;
                    if (!seen)
                        notes += "  " + video.filename().string() + ": a scan starting " + std::to_string(lateStarts[n]) +
                                 " frame(s) before the blink of frames " + std::to_string(b.start) + "-" +
                                 std::to_string(b.end) + " missed it\n";
                }
            detector.forgetFace();
        }

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
    std::printf("scans of %.1f s starting every %.1f s (native): %zu false blinks in %zu scans\n", shortScanLength,
                shortScanEvery, shortFalse, shortCount);
    for (std::size_t n = 0; n < lateStarts.size(); ++n)
        std::printf("scans starting %ld frame(s) before a labelled blink: %zu of %zu counted it\n", lateStarts[n],
                    lateCounted[n], lateTries[n]);
    return 0;
}

// ---------------------------------------------------------------- attacks

// The attack suite's modes: the blinks' three, and a scan that starts as the first dip begins, with
// no frame at rest before it (a scan's first frames are read as soon as the motion is known).
constexpr int attackModes = 4;
const char* const attackModeNames[attackModes] = {"native", "0.05 s", "+1 frame", "from dip"};
Throttle attackCamera(int mode, double fps) {
    return Throttle(fps, mode == 1 || mode == 2 ? throttle : 0, mode == 2 ? 1 : mode == 3 ? std::size_t(std::lround(0.4 * fps)) : 0);
}

using FaceData::Motion;
using FaceData::motionKinds;
using FaceData::motionName;

int attacks(int argc, char** argv) {
    std::size_t every = 1, first = 0;
    std::string only, kinds;
    bool trace = false;
    fs::path data, save;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--save" && i + 1 < argc) {
            save = argv[++i];
        } else if (a == "--kinds" && i + 1 < argc) {
            kinds = argv[++i];
            if (kinds != "planar" && kinds != "folded" && kinds != "strip") return usage();
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
    std::vector<Motion> chosen;
    for (const Motion kind : motionKinds)
        if (kinds.empty() || (kinds == "strip" ? kind == Motion::eyeStrip : (kinds == "folded") == FaceData::isFolded(kind)))
            chosen.push_back(kind);
    // The photo's own face, found once per still, places the folds; a separate detector, since the
    // suite's follows the face from frame to frame.
    FaceDetector::Options photoOptions;
    photoOptions.upsampleWhenNothingFound = true;
    photoOptions.followFace = false;
    FaceDetector photoDetector(photoOptions);
    std::printf("attack suite: %zu of %zu stills, each moved in %zu ways (8 dips of 0.15–0.6 s, noise, JPEG)\n",
                stills.size(), all.size(), chosen.size());
    std::printf("the scan's blink path (quality ≥ %.2f); detections of the 25 fps clip reused by the throttled modes;\n"
                "'landmarks only' is the ratio through the relative scale alone, for comparison\n\n",
                double(minQuality));

    struct Row {
        std::size_t clips = 0, frames = 0, usable = 0, falseBlinks[attackModes] = {}, landmarkOnly[attackModes] = {}, clipsClosed[attackModes] = {};
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
        std::optional<FaceData::FaceLines> lines;
        if (chosen.back() >= Motion::foldUpperBack) lines = FaceData::faceLines(photoDetector, photo);
        for (const Motion kind : chosen) {
            if (FaceData::isFolded(kind) && !lines) {
                notes += "  " + stills[s].string() + ": no face on the photo to fold along\n";
                continue;
            }
            auto started = Clock::now();
            const double madeBefore = clipSeconds;
            const auto motion = FaceData::attackMotion(photo, kind, seeds[s], fps, lines);
            std::vector<std::optional<DetectedFace>> faces(motion.size());
            const auto frameAt = [&](std::size_t i) {
                const auto t = Clock::now();
                cv::Mat frame = FaceData::attackFrame(photo, motion[i], FaceData::attackNoiseSeed(seeds[s], i));
                clipSeconds += since(t);
                if (!save.empty())
                    cv::imwrite((save / (std::to_string(seeds[s]) + "-" + std::to_string(int(kind)) + "-" + std::to_string(i) + ".jpg")).string(), frame);
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
                else if (!corners.empty() && !mayPass(motion[i].map * motion[0].map.inv())) ++skipped;
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
            for (int mode = 0; mode < attackModes; ++mode) {
                Throttle camera = attackCamera(mode, fps);
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
                row.clipsClosed[mode] += scan.closures > 0;
                if (trace && !scan.blinks.empty()) {
                    std::printf("%s, %s (%s):\n", stills[s].c_str(), motionName(kind), attackModeNames[mode]);
                    Throttle again = attackCamera(mode, fps);
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
                             ", " + motionName(kind) + " (" + attackModeNames[mode] + "): " +
                             std::to_string(scan.blinks.size()) + " false blink(s)\n";
            }
            blinkSeconds += since(started);
        }
        if ((s + 1) % 10 == 0) std::fprintf(stderr, "  %zu of %zu stills\n", s + 1, stills.size());
    }
    std::printf("time: making frames %.0f s, detection %.0f s (%zu frames searched, %zu too narrow or turned to pass the gate), "
                "blink path (4 modes) %.0f s\n\n",
                clipSeconds, detectSeconds, searched, skipped, blinkSeconds);
    if (!notes.empty()) std::printf("%s\n", notes.c_str());
    // A clip read closed is as far as an attack can get without a blink: the reopening is then
    // up to the attacker, so that column is what tells how much margin is left.
    std::printf("%-30s %5s %6s %6s | %-35s | %-35s | %-35s\n", "", "", "", "usable", "false blinks", "clips read closed",
                "landmarks only (before)");
    std::printf("%-30s %5s %6s %6s |", "motion", "clips", "frames", "frames");
    for (int table = 0; table < 3; ++table) {
        for (const char* name : attackModeNames) std::printf(" %8s", name);
        std::printf(table == 2 ? "\n" : " |");
    }
    const auto printRow = [](const char* name, const Row& r) {
        std::printf("%-30s %5zu %6zu %6zu |", name, r.clips, r.frames, r.usable);
        for (const std::size_t n : r.falseBlinks) std::printf(" %8zu", n);
        std::printf(" |");
        for (const std::size_t n : r.clipsClosed) std::printf(" %8zu", n);
        std::printf(" |");
        for (const std::size_t n : r.landmarkOnly) std::printf(" %8zu", n);
        std::printf("\n");
    };
    // Totals of the flat and of the folded prints, and of all.
    Row totals[3];
    const char* totalNames[3] = {"all planar", "all folded", "all"};
    for (const Motion kind : chosen) {
        const Row& r = rows[kind];
        printRow(motionName(kind), r);
        for (Row* total : {&totals[FaceData::isFolded(kind) ? 1 : 0], &totals[2]}) {
            total->clips += r.clips;
            total->frames += r.frames;
            total->usable += r.usable;
            for (int m = 0; m < attackModes; ++m) {
                total->falseBlinks[m] += r.falseBlinks[m];
                total->clipsClosed[m] += r.clipsClosed[m];
                total->landmarkOnly[m] += r.landmarkOnly[m];
            }
        }
    }
    for (int t = 0; t < 3; ++t)
        if (totals[t].clips) printRow(totalNames[t], totals[t]);
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
