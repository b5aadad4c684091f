#include "Face/FaceMotion.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {
constexpr std::size_t landmarkCount = 68;

// The distance between the eye centres: the face's scale for margins and tolerances.
double eyeDistance(std::span<const cv::Point2f> landmarks) {
    const auto eyes = FaceGeometry::eyeCentres(landmarks);
    return eyes ? eyes->distance() : 0.0;
}

cv::Mat toGray(const cv::Mat& frame) {
    cv::Mat gray;
    switch (frame.channels()) {
    case 1: return frame.clone();  // kept for later frames: the caller may reuse its buffer
    case 3: cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY); return gray;
    case 4: cv::cvtColor(frame, gray, cv::COLOR_BGRA2GRAY); return gray;
    default: return {};
    }
}

// Follows `points` (seen in `previous` at `now`) from `previous` into `gray` with pyramidal
// Lucas–Kanade, forward and backward: a point that does not track back to where it came from is
// lost. Keeps in `anchored` and `now` (the same points' places in the anchor frame and in the
// previous frame) only those followed, and moves `now` to their places in `gray`.
void follow(const cv::Mat& previous, const cv::Mat& gray, std::vector<cv::Point2f>& anchored, std::vector<cv::Point2f>& now) {
    std::vector<cv::Point2f> next, back;
    std::vector<unsigned char> status, backStatus;
    std::vector<float> error;
    const cv::Size window(21, 21);
    const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03);
    cv::calcOpticalFlowPyrLK(previous, gray, now, next, status, error, window, 3, stop);
    cv::calcOpticalFlowPyrLK(gray, previous, next, back, backStatus, error, window, 3, stop);
    std::vector<cv::Point2f> from, to;
    for (std::size_t i = 0; i < now.size(); ++i)
        if (status[i] && backStatus[i] && cv::norm(back[i] - now[i]) < 0.7) {
            from.push_back(anchored[i]);
            to.push_back(next[i]);
        }
    anchored = std::move(from);
    now = std::move(to);
}

cv::Matx33d toMatx(const cv::Mat& m) {
    cv::Matx33d out;
    m.convertTo(cv::Mat(3, 3, CV_64F, out.val), CV_64F);
    return out;
}

// A band's open side: further, in eye distances, than anything in the mask.
double beyond(const cv::Mat& mask) {
    return double(mask.cols + mask.rows);
}
}  // namespace

namespace FaceMotion {
cv::Mat trackingMask(cv::Size size, std::span<const cv::Point2f> landmarks) {
    if (landmarks.size() != landmarkCount || size.empty()) return {};
    const double eyes = eyeDistance(landmarks);
    cv::Mat mask = cv::Mat::zeros(size, CV_8U);
    // The jaw line and the brows raised by half the eye distance (the forehead), drawn a little
    // inside the outline: points on the outline itself sit on the background of a real face.
    const cv::Point2d centre = FaceGeometry::centroid(landmarks);
    std::vector<cv::Point> outline;
    const auto add = [&](cv::Point2d p) { outline.emplace_back(cv::Point2d(centre + (p - centre) * 0.9)); };
    for (std::size_t i = 0; i <= 16; ++i) add(cv::Point2d(landmarks[i]));
    for (std::size_t i = 26; i >= 17; --i) add(cv::Point2d(landmarks[i]) - cv::Point2d(0, 0.5 * eyes));
    std::vector<cv::Point> hull;
    cv::convexHull(outline, hull);
    cv::fillConvexPoly(mask, hull, cv::Scalar(255));
    // Without the eyes: lids, lashes and the skin just above and below move in a blink.
    const auto centres = FaceGeometry::eyeCentres(landmarks);
    for (const cv::Point2d& c : {centres->left, centres->right}) {
        const cv::Size axes(int(std::lround(0.45 * eyes)), int(std::lround(0.3 * eyes)));
        cv::ellipse(mask, cv::Point(c), axes, 0, 0, 360, cv::Scalar(0), cv::FILLED);
    }
    return mask;
}

cv::Mat eyeBand(const cv::Mat& mask, std::span<const cv::Point2f> landmarks, double from, double to) {
    const auto eyes = FaceGeometry::eyeCentres(landmarks);
    if (mask.empty() || !eyes || !(eyes->distance() > 0)) return {};
    // Between two lines parallel to the eye line, `from` and `to` eye distances below it.
    const cv::Point2d along = (eyes->right - eyes->left) * (1.0 / eyes->distance());
    const cv::Point2d down(-along.y, along.x);  // image y points down
    const cv::Point2d top = eyes->middle() + down * (from * eyes->distance());
    const cv::Point2d bottom = eyes->middle() + down * (to * eyes->distance());
    const double reach = 2.0 * (mask.cols + mask.rows);
    const std::vector<cv::Point> band{cv::Point(top - along * reach), cv::Point(top + along * reach),
                                      cv::Point(bottom + along * reach), cv::Point(bottom - along * reach)};
    cv::Mat inside = cv::Mat::zeros(mask.size(), CV_8U);
    cv::fillConvexPoly(inside, band, cv::Scalar(255));
    return mask & inside;
}

cv::Mat aboveEyes(const cv::Mat& mask, std::span<const cv::Point2f> landmarks) {
    return eyeBand(mask, landmarks, -beyond(mask), 0.1);
}

cv::Mat belowEyes(const cv::Mat& mask, std::span<const cv::Point2f> landmarks) {
    return eyeBand(mask, landmarks, 0.1, mouthLine);
}

cv::Mat aboveMouth(const cv::Mat& mask, std::span<const cv::Point2f> landmarks) {
    return eyeBand(mask, landmarks, -beyond(mask), mouthLine);
}

cv::Mat belowMouth(const cv::Mat& mask, std::span<const cv::Point2f> landmarks) {
    return eyeBand(mask, landmarks, mouthLine, beyond(mask));
}

double stretchAtEyes(std::span<const cv::Point2f> landmarks, const cv::Matx33d& h) {
    const auto eyes = FaceGeometry::eyeCentres(landmarks);
    if (!eyes) return 1;
    const cv::Point2d p = eyes->middle();
    const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
    if (!(std::fabs(w) > 1e-12)) return std::numeric_limits<double>::infinity();
    const double u = (h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2)) / w, v = (h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2)) / w;
    // The map's derivative there and its singular values (closed form for 2×2).
    const double a = (h(0, 0) - u * h(2, 0)) / w, b = (h(0, 1) - u * h(2, 1)) / w;
    const double c = (h(1, 0) - v * h(2, 0)) / w, d = (h(1, 1) - v * h(2, 1)) / w;
    const double q = std::hypot((a + d) / 2, (c - b) / 2), r = std::hypot((a - d) / 2, (c + b) / 2);
    const double smaller = std::fabs(q - r);
    return smaller > 0 ? (q + r) / smaller : std::numeric_limits<double>::infinity();
}

double shapeChange(std::span<const cv::Point2f> landmarks, const cv::Matx33d& h, std::span<const cv::Point2f> reference) {
    if (landmarks.size() != landmarkCount || reference.size() != landmarkCount) return std::numeric_limits<double>::infinity();
    std::vector<cv::Point2f> now, then;
    for (std::size_t i = 0; i < landmarkCount; ++i)
        if (i <= 16 || (i >= 27 && i <= 35)) now.push_back(landmarks[i]), then.push_back(reference[i]);
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(now, mapped, cv::Mat(h));
    double sum = 0;
    for (std::size_t i = 0; i < mapped.size(); ++i) {
        const cv::Point2f d = mapped[i] - then[i];
        sum += double(d.dot(d));
    }
    const double scale = eyeDistance(reference);
    return scale > 0 ? std::sqrt(sum / double(mapped.size())) / scale : std::numeric_limits<double>::infinity();
}

double verticalSpread(std::span<const cv::Point2f> points, std::span<const cv::Point2f> landmarks) {
    const auto eyes = FaceGeometry::eyeCentres(landmarks);
    if (!eyes || !(eyes->distance() > 0) || points.size() < 2) return 0;
    const cv::Point2d along = (eyes->right - eyes->left) * (1.0 / eyes->distance());
    const cv::Point2d up(-along.y, along.x);
    std::vector<double> h;
    for (const auto& p : points) h.push_back(cv::Point2d(p).dot(up));
    std::sort(h.begin(), h.end());
    const std::size_t lo = h.size() / 10, hi = h.size() - 1 - h.size() / 10;
    return (h[hi] - h[lo]) / eyes->distance();
}

double browHeight(std::span<const cv::Point2f> landmarks, const cv::Matx33d& homography) {
    if (landmarks.size() != landmarkCount) return 0;
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(std::vector<cv::Point2f>(landmarks.begin(), landmarks.end()), mapped, cv::Mat(homography));
    const cv::Point2d left = (cv::Point2d(mapped[36]) + cv::Point2d(mapped[39])) * 0.5;
    const cv::Point2d right = (cv::Point2d(mapped[42]) + cv::Point2d(mapped[45])) * 0.5;
    const double span = cv::norm(right - left);
    if (!(span > 0)) return 0;
    const cv::Point2d up = cv::Point2d((right - left).y, -(right - left).x) * (1.0 / span);  // image y grows downwards
    double sum = 0;
    for (std::size_t i = 17; i <= 26; ++i) sum += (cv::Point2d(mapped[i]) - left).dot(up);
    return sum / 10 / span;
}

double eyeChange(const cv::Mat& then, const cv::Matx33d& thenToReference, const cv::Mat& now,
                 const cv::Matx33d& nowToReference, std::span<const cv::Point2f> outline) {
    const cv::Rect2f eye = cv::boundingRect(std::vector<cv::Point2f>(outline.begin(), outline.end()));
    // The lids, lashes and a little skin around them; at least half as high as wide, for an eye
    // seen narrowed. Sampled at a fixed size, so that both views and any face size compare alike.
    const double w = 1.2 * eye.width, h = std::max(1.4 * eye.height, 0.5 * w);
    if (!(w > 0)) return 0;
    const cv::Size size(32, 16);
    const double sx = size.width / w, sy = size.height / h;
    const cv::Point2d corner(eye.x + eye.width / 2.0 - w / 2, eye.y + eye.height / 2.0 - h / 2);
    const cv::Matx33d toBox(sx, 0, -corner.x * sx, 0, sy, -corner.y * sy, 0, 0, 1);
    cv::Mat a, b, correlation;
    cv::warpPerspective(then, a, cv::Mat(toBox * thenToReference), size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::warpPerspective(now, b, cv::Mat(toBox * nowToReference), size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::Scalar mean, deviation;
    for (const cv::Mat* view : {&a, &b}) {
        cv::meanStdDev(*view, mean, deviation);
        if (!(deviation[0] > 0.5)) return 0;
    }
    cv::matchTemplate(a, b, correlation, cv::TM_CCOEFF_NORMED);
    return 1 - double(correlation.at<float>(0, 0));
}

std::optional<float> mappedOpenness(std::span<const cv::Point2f> landmarks, const cv::Matx33d& homography) {
    if (landmarks.size() != landmarkCount) return std::nullopt;
    std::vector<cv::Point2f> eyes(landmarks.begin() + 36, landmarks.begin() + 48), mapped;
    cv::perspectiveTransform(eyes, mapped, cv::Mat(homography));
    std::vector<cv::Point2f> all(landmarks.begin(), landmarks.end());
    std::copy(mapped.begin(), mapped.end(), all.begin() + 36);
    // Pixel units: a box as wide as the frame and as high as it is wide keeps both axes alike.
    const cv::Size frame(1, 1);
    const NormalizedRect box{0, 0, 1, 1};
    const auto roll = FaceGeometry::roll(all);
    const auto [left, right] = FaceGeometry::eyeOutlines(all, box, frame, roll.value_or(0.0f));
    return FaceGeometry::eyeOpenness(left, right);
}
}  // namespace FaceMotion

void FaceMotionTracker::startAnchor(const cv::Mat& gray, std::span<const cv::Point2f> landmarks,
                                    const cv::Matx33d& toReference, double seconds) {
    anchorPoints_.clear();
    const cv::Mat mask = FaceMotion::trackingMask(gray.size(), landmarks);
    if (!mask.empty()) {
        // The strongest corners of a face are on the lips, the teeth and the chin, which move with
        // the jaw when the person talks; taken all from the whole face, they would outnumber the
        // rest and carry the map with the jaw. So most points are found above the mouth, and a few
        // below it hold the map across the whole face while the jaw is still.
        const double spacing = std::max(3.0, eyeDistance(landmarks) / 12);
        const auto find = [&](int count, const cv::Mat& part) {
            std::vector<cv::Point2f> found;
            if (!part.empty()) cv::goodFeaturesToTrack(gray, found, count, 0.005, spacing, part, 5);
            anchorPoints_.insert(anchorPoints_.end(), found.begin(), found.end());
        };
        find(maxPoints - maxPointsBelowMouth, FaceMotion::aboveMouth(mask, landmarks));
        find(maxPointsBelowMouth, FaceMotion::belowMouth(mask, landmarks));
    }
    points_ = anchorPoints_;
    anchorCount_ = anchorPoints_.size();
    const double spacing = std::max(2.0, eyeDistance(landmarks) / 16);
    for (auto [region, band] : {std::pair{&above_, &FaceMotion::aboveEyes}, {&below_, &FaceMotion::belowEyes}}) {
        region->anchor.clear();
        // An empty mask would let the search take the whole frame.
        const cv::Mat part = band(mask, landmarks);  // empty for an empty mask
        if (!part.empty()) cv::goodFeaturesToTrack(gray, region->anchor, maxWitnesses, 0.005, spacing, part, 5);
        region->now = region->anchor;
        region->count = region->anchor.size();
    }
    anchorToReference_ = toReference;
    anchorTime_ = seconds;
}

std::optional<cv::Matx33d> FaceMotionTracker::followAnchor(const cv::Mat& gray, std::span<const cv::Point2f> landmarks) {
    // Most points lost in one step (not followed, or off the plane of the rest): the motion was too
    // fast to follow, and the few left are the ones that moved least (near the axis of a flip),
    // which tell only part of it.
    const double enough = minFollowed * double(points_.size());
    follow(previous_, gray, anchorPoints_, points_);
    const std::vector<cv::Point2f> from = anchorPoints_, to = points_;
    if (double(from.size()) >= enough && from.size() >= std::size_t(minPoints)) {
        // Tolerance: about 1 % of the eye distance, at least a pixel.
        const double tolerance = std::max(1.0, eyeDistance(landmarks) / 60);
        std::vector<unsigned char> inliers;
        const cv::Mat h = cv::findHomography(from, to, cv::RANSAC, tolerance, inliers, 500, 0.995);
        const auto kept = std::count(inliers.begin(), inliers.end(), 1);
        if (!h.empty() && kept >= minPoints && double(kept) >= enough && std::size_t(2 * kept) >= from.size()) {
            const cv::Matx33d anchorToNow = toMatx(h);
            // Points off the plane (a mouth that talks, a cheek's edge) are not followed further.
            std::vector<cv::Point2f> keptFrom, keptTo;
            for (std::size_t i = 0; i < from.size(); ++i)
                if (inliers[i]) keptFrom.push_back(from[i]), keptTo.push_back(to[i]);
            anchorPoints_ = std::move(keptFrom);
            points_ = std::move(keptTo);
            return anchorToNow;
        }
    }
    return std::nullopt;
}

FaceMotionTracker::Region FaceMotionTracker::followRegion(Witnesses& region, const cv::Mat& gray,
                                                          std::span<const cv::Point2f> landmarks,
                                                          const cv::Matx33d& anchorToNow, double& worstDrift) {
    if (region.count < std::size_t(minWitnesses)) return Region::unknown;
    if (region.now.empty()) return Region::disagrees;
    follow(previous_, gray, region.anchor, region.now);
    const std::vector<cv::Point2f>& from = region.anchor;
    const std::vector<cv::Point2f>& to = region.now;
    if (to.size() < std::size_t(minWitnesses) || 2 * to.size() < region.count) return Region::disagrees;
    std::vector<cv::Point2f> expected;
    cv::perspectiveTransform(from, expected, cv::Mat(anchorToNow));
    // Four in five of the points found in the anchor must still be followed and agree: a few on
    // hair, a lash or a glint may wander or be lost, but a part that turns away loses its points
    // as often as it moves them, so a lost point counts as one that disagrees.
    std::vector<double> drift;
    const double scale = eyeDistance(landmarks);
    for (std::size_t i = 0; i < to.size(); ++i) drift.push_back(cv::norm(expected[i] - to[i]) / scale);
    std::sort(drift.begin(), drift.end());
    const std::size_t fifth = region.count * 4 / 5;
    worstDrift = fifth < drift.size() ? drift[fifth] : std::numeric_limits<double>::infinity();
    if (worstDrift <= maxWitnessDrift) return Region::agrees;
    // Those still followed agree: the others were lost, not seen to move.
    return drift[drift.size() * 4 / 5] <= maxWitnessDrift ? Region::thinned : Region::disagrees;
}

std::optional<float> FaceMotionTracker::referenceOpenness(const cv::Mat& frame, std::span<const cv::Point2f> landmarks,
                                                          double seconds) {
    const cv::Mat gray = frame.empty() || frame.depth() != CV_8U ? cv::Mat() : toGray(frame);
    const bool usable = !gray.empty() && landmarks.size() == landmarkCount && std::isfinite(seconds);
    const bool continues = usable && tracking_ && previous_.size() == gray.size() && seconds >= lastTime_ &&
                           seconds - lastTime_ <= maxGap && points_.size() >= std::size_t(minPoints);
    const std::size_t pointsBefore = points_.size();
    check_ = {};
    closable_ = true;
    const std::optional<cv::Matx33d> anchorToNow = continues ? followAnchor(gray, landmarks) : std::nullopt;
    // Above and below the eyes alike: a fold on either side moves the lids with it. The worse of
    // the two stands for both.
    Region around = Region::unknown;
    if (anchorToNow) {
        around = std::max(followRegion(above_, gray, landmarks, *anchorToNow, check_.witnessDrift),
                          followRegion(below_, gray, landmarks, *anchorToNow, check_.belowDrift));
        check_.witnesses = above_.now.size();
        check_.belowWitnesses = below_.now.size();
    }
    previous_ = usable ? gray : cv::Mat();
    lastTime_ = seconds;
    if (!usable) {
        tracking_ = false;
        return std::nullopt;
    }
    // Only a region seen to agree vouches for the map; one with too few points to tell (unknown)
    // vouches for nothing, though it does not count as stuck below.
    const bool aroundFine = around == Region::agrees || around == Region::unknown;
    if (around != Region::agrees) aroundTroubleAt_ = seconds;
    // The regions around the eyes have not agreed with the map for longer than an anchor lives (points
    // there lost and never renewed): the map is given up, as when the motion is lost.
    const bool stuck = anchorToNow && !aroundFine && seconds - aroundFineAt_ > anchorLifetime;
    if (aroundFine) aroundFineAt_ = seconds;
    if (!anchorToNow || stuck) {
        // A new reference: this frame as it is.
        ++generation_;
        freshReference_ = freshView_ = !continues;
        startAnchor(gray, landmarks, cv::Matx33d::eye(), seconds);
        recent_.assign(1, {seconds, cv::Matx33d::eye(), std::vector<cv::Point2f>(landmarks.begin(), landmarks.end()),
                           FaceMotion::browHeight(landmarks, cv::Matx33d::eye()), gray,
                           FaceMotion::mappedOpenness(landmarks, cv::Matx33d::eye()).value_or(0.0f)});
        referenceTime_ = aroundFineAt_ = seconds;
        aroundTroubleAt_ = -std::numeric_limits<double>::infinity();
        tracking_ = anchorCount_ >= std::size_t(minPoints);
        // Motion is lost mostly in fast motion, so the frames that follow cannot be checked against
        // the moments before: they stay unverified until the new reference has a history. A fresh
        // view (the scan's first face, or the face back after a gap) was not lost in a motion: its
        // frames are checked against the frames since it began, so a blink at the very start of a
        // scan is seen. This frame, the reference itself, is what the lids are measured against.
        if (!freshReference_ || !tracking_) return std::nullopt;
        return FaceMotion::mappedOpenness(landmarks, cv::Matx33d::eye());
    }
    const cv::Matx33d nowToReference = anchorToReference_ * anchorToNow->inv();
    // How much the face changed shape in the last moments. A blink moves the lids only, and a head
    // in front of a screen turns and nods little in a blink's time; a photo flipped back or pressed
    // for a dip changes its whole shape within that time. The map is also not to be trusted when
    // the face's own outline and nose do not follow it (tracking fooled by a fast motion, a fit
    // that sprang back): the lids are then not read through it. Measured on the recorded clips,
    // over 0.4 s a real face stays within 1.17 (stretch) and, at the frames its lids read closed,
    // within 0.14 eye distances (the landmarks' jitter included; 0.25 elsewhere); the photo dips
    // that fooled the scan without this check went to 1.38 in stretch or to 0.44 in shape. A few
    // fast flips stayed under both (0.15 to 0.19 in shape, too close to a real blink for a tighter
    // limit); minFollowed, minSpread and minCalmStep stop those.
    // On a slow machine frames come up to maxGap apart: the last one is then all the eyes can be
    // compared with, though the window holds nothing to check the face's shape against.
    std::optional<Recent> last;  // set only when the window empties
    while (!recent_.empty() && recent_.front().seconds < seconds - recentWindow) {
        if (recent_.size() == 1) last = std::move(recent_.front());
        recent_.pop_front();
    }
    double stretch = 1, shapeChange = 0;
    for (const Recent& r : recent_) {
        const cv::Matx33d nowToThen = r.toReference.inv() * nowToReference;
        stretch = std::max(stretch, FaceMotion::stretchAtEyes(landmarks, nowToThen));
        shapeChange = std::max(shapeChange, FaceMotion::shapeChange(landmarks, nowToThen, r.landmarks));
    }
    // The brows against the eye corners, both mapped into the reference geometry, so that a print
    // moved as a whole changes nothing. At the frames the lids first read closed, the brows of 176
    // real closures (both blink sets, every mode) never lay below 0.89 of their highest in the
    // moments before (that low only at 360×288; 0.998 on the webcam and talking clips); two eye-strip
    // prints that fooled the scan without this check had brought them down to 0.68 and 0.69.
    const double browHeight = FaceMotion::browHeight(landmarks, nowToReference);
    double highestBrows = browHeight;
    for (const Recent& r : recent_) highestBrows = std::max(highestBrows, r.browHeight);
    check_.browShare = highestBrows > 0 ? browHeight / highestBrows : 1;
    // The eyes against the recent frame whose lids were widest. A real closure changed both eyes by
    // at least 0.28 (152 closures of both blink sets, every mode, the half-closures of the talking
    // speakers included; most by 0.4 or more); the print folded along the nose that fooled the
    // scan changed them by 0.01 and 0.03 (the fit's lids wandered on a still image), an eye strip
    // by 0.15.
    const std::optional<float> opennessNow = FaceMotion::mappedOpenness(landmarks, nowToReference);
    const Recent* widest = nullptr;
    for (const Recent& r : recent_)
        if (!widest || r.openness > widest->openness) widest = &r;
    if (!widest && last) widest = &*last;
    check_.lidChange = widest ? std::numeric_limits<double>::infinity() : 0;
    for (std::ptrdiff_t first : {36, 42}) {
        if (!widest) break;
        std::vector<cv::Point2f> outline;
        const std::vector<cv::Point2f> eye(widest->landmarks.begin() + first, widest->landmarks.begin() + first + 6);
        cv::perspectiveTransform(eye, outline, cv::Mat(widest->toReference));
        check_.lidChange = std::min(check_.lidChange,
                                    FaceMotion::eyeChange(widest->gray, widest->toReference, gray, nowToReference, outline));
    }
    closable_ = browsInPlace() && check_.lidChange >= minLidChange;
    const double spread = FaceMotion::verticalSpread(points_, landmarks);
    check_.stretch = stretch;
    check_.shapeChange = shapeChange;
    check_.points = points_.size();
    check_.spread = spread;
    recent_.push_back({seconds, nowToReference, std::vector<cv::Point2f>(landmarks.begin(), landmarks.end()), browHeight, gray,
                       opennessNow.value_or(0.0f)});
    // Unverified: the lids are not read, and the anchor is not replaced through a doubtful map.
    if (!(stretch <= maxRecentStretch && shapeChange <= maxRecentShapeChange)) return std::nullopt;
    // A reference begun because the motion was lost is not read before it has a history, but its
    // anchor is renewed as any other: a talking face can lose most of its points in that time, and
    // the map with them.
    const bool young = !freshReference_ && seconds - referenceTime_ < recentWindow;
    // A map that spans the face but puts the brows elsewhere than where they are: the face is not
    // one plane (or the map is wrong), and nothing is taken from this frame. A map too narrow to
    // place the brows is not read either, but may be renewed like any narrow map.
    const bool spans = spread >= minSpread;
    if (spans && around == Region::disagrees) return std::nullopt;
    const bool calm = double(points_.size()) >= minCalmStep * double(pointsBefore);
    // A new anchor finds new points around the eyes, placed by the map as it is now: taken while a
    // fold is under way it would hide the part already turned. So a map that spans the face is
    // renewed only after the regions around the eyes agreed with it in every frame of the last
    // moments, and lie well inside the tolerance now (see maxVouchingDrift; the new points are
    // then vouched for by the old ones, back to the reference's start). A narrow map, a region too
    // bare to tell, or one near the tolerance's edge, is renewed anyway, before so many points
    // are lost that no frame could be read; but what the lids read after such a renewal is not
    // compared with what they read before: the readings start a new generation. (A print folded
    // under the eyes whose anchor was renewed at the fold's deepest otherwise read its turned lids
    // against the flat print's, as closed.)
    const bool settled = seconds - aroundTroubleAt_ >= recentWindow;
    const bool vouched = settled && spans && around != Region::unknown &&
                         std::max(check_.witnessDrift, check_.belowDrift) <= maxVouchingDrift;
    if (calm && (seconds - anchorTime_ >= anchorLifetime || 3 * points_.size() < 2 * anchorCount_ ||
                 10 * above_.now.size() < 9 * above_.count || 10 * below_.now.size() < 9 * below_.count)) {
        startAnchor(gray, landmarks, nowToReference, seconds);
        if (!vouched) ++generation_, freshView_ = false;
    }
    if (young || !spans || around != Region::agrees) return std::nullopt;
    return opennessNow;
}

float EyeMotionOpennessScale::toTrackerScale(float rawOpenness, double seconds) {
    // A frame that cannot be verified cannot confirm a pending closure either.
    return passOn(std::max(landmarks_.toTrackerScale(rawOpenness, seconds), RelativeOpennessScale::neutral), false);
}

float EyeMotionOpennessScale::trackerOpenness(const DetectedFace& face, double seconds) {
    const float raw = face.eyeOpenness.value_or(std::numeric_limits<float>::quiet_NaN());
    const float byLandmarks = landmarks_.toTrackerScale(raw, seconds);
    const auto inReference = motion_.referenceOpenness(face.frame, face.landmarks, seconds);
    if (motion_.generation() != referenceGeneration_) {
        // A new reference geometry: earlier readings are not comparable.
        reference_ = referenceScale(motion_);
        referenceGeneration_ = motion_.generation();
    }
    float byReference = inReference ? reference_.toTrackerScale(*inReference, seconds) : RelativeOpennessScale::neutral;
    if (!motion_.closable()) byReference = std::max(byReference, RelativeOpennessScale::neutral);
    const float now = std::max(byLandmarks, byReference);
    // A closing reading is passed on only once the next frame is verified as well. A print with a
    // strip across the eyes tilting back reads closed in the one frame in which its brows have
    // moved, but not yet beyond the tolerance; in the next they have, and the frame is not read. A
    // real blink's lids close while the face around them keeps still, so the frame after its
    // closing one is read too (on the recorded clips, for 152 of the 155 blinks counted before).
    // Nor when this frame's brows have come down (see FaceMotionTracker::closable): one strip print
    // read closed with its brows still in place, then went on turning and brought them down.
    return passOn(now, inReference && motion_.browsInPlace());
}

float EyeMotionOpennessScale::passOn(float now, bool confirms) {
    // The reading of a frame that confirmed a closing one is not lost: it is passed on with the
    // next frame (with that frame's own when both are open). The one open frame between two quick
    // blinks is such a frame, and without it the second closing would run on from the first.
    constexpr float neutral = RelativeOpennessScale::neutral;
    auto previous = std::exchange(pending_, std::nullopt);
    if (previous && *previous < neutral && !confirms) previous.reset();  // not confirmed: this frame cannot close the eyes either
    if (!previous) {
        if (now < neutral) pending_ = now;
        return std::max(now, neutral);
    }
    if (*previous < neutral || now < neutral) {
        pending_ = now;
        return *previous;
    }
    return std::max(*previous, now);
}
