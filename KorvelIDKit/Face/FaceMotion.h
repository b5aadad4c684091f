#pragma once
// Eye openness that a photograph moved in front of the camera cannot change.
//
// The landmark openness (eye outline height over width) drops whenever the whole face is squeezed
// vertically: a photo tilted back about its horizontal axis, or pressed, reads exactly like closing
// lids. Landmark-only checks cannot tell the two apart, because dlib's fit pulls the nose, mouth and
// chin back towards an average face while the eye points follow the squeeze. The image itself can:
// the skin outside the eyes moves with the lids only in a photo. So the face outside the eyes is
// tracked from frame to frame (pyramidal Lucas–Kanade, forward–backward checked), a homography is
// fitted by RANSAC from the points' places in an anchor frame to their places now, and the eye
// outlines are mapped back through it into the reference geometry before their openness is read.
// A plane moved in any way (tilted, turned, squeezed, brought closer) maps back to itself: its
// lids read as they did. A real blink moves the lids and not the skin around them: it reads closed.
// A homography is the motion of a plane; a real head is nearly one at the eyes' scale, and where a
// head turning in depth fools it, the landmark openness still reads open, so the scan counts a
// frame as closed only when both say so (EyeMotionOpennessScale). And where the face changed its
// whole shape within a blink's time, or its landmarks do not follow the map, or the map rests on
// too few or too narrowly placed points to tell how far the face was squeezed, neither is trusted:
// such a frame is unverified and cannot close the eyes.
//
// A print folded or bent is not one plane. Its largest flat part carries the map, and where a
// fold runs near the eyes, the lids on a part turned away shrink as closing lids do. A real blink
// moves the lids against what is around them: the brows, the forehead and the bridge of the nose
// stay on the face's map while the lids drop, and so do the nose and the upper cheeks below them.
// So the regions above and below the eyes are also followed on their own, by points that are never
// dropped for disagreeing with the map, and a frame is read only while both still lie where the
// map says they should (the map may rest on either side of a fold). And a frame's lids read closed
// only when the brows have not come down towards the eyes and the eyes themselves look different
// from when they were open (FaceMotionTracker::closable).
#include <opencv2/core.hpp>

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "Face/FaceDetector.h"

class FaceMotionTracker {
public:
    // The anchor (the frame the tracked points were found in) is replaced this often, and whenever
    // too few of its points are left, by the current frame; the mapping to the reference geometry
    // is carried over, so a new anchor does not change what the lids read.
    static constexpr double anchorLifetime = 2.0;  // seconds
    // Frames further apart than this are not tracked across: the face may have gone and come back.
    static constexpr double maxGap = 0.5;  // seconds
    static constexpr int maxPoints = 80;
    // Of them, found below the mouth's line (FaceMotion::belowMouth) at most this many.
    static constexpr int maxPointsBelowMouth = 20;
    static constexpr int minPoints = 10;  // fewer tracked points (or RANSAC inliers): motion unknown
    // Fewer than this share of the previous frame's points followed into this one: motion unknown.
    static constexpr double minFollowed = 0.25;
    // A frame is unverified (read as nothing) when, against any frame of the last `recentWindow`,
    // the map stretches the face unevenly at the eyes beyond `maxRecentStretch` (larger over
    // smaller axis) or the face's outline and nose lie off the map by more than
    // `maxRecentShapeChange` eye distances (root mean square).
    static constexpr double recentWindow = 0.4;  // seconds
    static constexpr double maxRecentStretch = 1.2;
    static constexpr double maxRecentShapeChange = 0.2;
    // A verified frame whose points span less than this many eye distances across the eye line is
    // still not read: such a map is fixed along the eye line but barely across it, where a squeeze
    // shows (what is left of the points after a fast flip sits near its axis). On the recorded
    // clips the frames whose lids read closed spanned at least 0.87; fooling frames 0.34 to 0.76.
    static constexpr double minSpread = 0.8;
    // The anchor is replaced only after a step that kept this share of the previous frame's points:
    // right after a violent step the map may hold only part of the motion, and a new anchor taken
    // through it would carry that error into every later frame.
    static constexpr double minCalmStep = 2.0 / 3.0;
    // The regions above the eyes (brows, forehead, the bridge of the nose between them) and below
    // them (nose, upper cheeks) must each follow the map: four in five of a region's points found
    // in the anchor frame (at least `minWitnesses`)
    // must still be followed and lie within `maxWitnessDrift` eye distances of where the map puts
    // them. A fold deep enough to shrink the lids to 70 % of their height moves
    // the brows by a tenth of an eye distance or more; on the recorded clips the frames whose lids
    // read closed stayed within 0.035.
    static constexpr int maxWitnesses = 40;
    static constexpr int minWitnesses = 6;
    static constexpr double maxWitnessDrift = 0.06;
    // A new anchor places the regions' new points where they are now, so the drift they had is
    // forgotten. It is vouched for (read on in the same generation) only while both regions lie
    // within this many eye distances of the map: otherwise a print turning slowly could be taken
    // as flat at the edge of the tolerance and turn as far again. On the recorded clips the frames
    // whose lids read closed stayed within 0.035; an eye strip that fooled the scan without this
    // rule was renewed at 0.056 halfway into its turn.
    static constexpr double maxVouchingDrift = 0.045;
    // The brows' height above the eye corners in the reference geometry may not fall below this
    // share of its highest in the last `recentWindow` in a frame whose lids read closed (see
    // closable()).
    static constexpr double minBrowShare = 0.85;
    // Nor may they read closed while either eye, brought into the reference geometry, still looks
    // as it did in the recent frame whose lids were widest: its change (one minus the normalised
    // correlation of the two views of the eye) must reach this.
    static constexpr double minLidChange = 0.2;

    // `frame`: 8-bit BGR, BGRA or grey; `landmarks`: 68 points in frame pixels; `seconds`: monotonic.
    // The openness (FaceGeometry::eyeOpenness on the roll-free outlines, in pixels) of this frame's
    // eyes mapped into the reference geometry; nothing when the motion could not be measured (too
    // few points on the face, a gap, a new frame size: the next frame then starts a new reference,
    // and generation() counts up) and while the frame is unverified (see maxRecentStretch, and
    // generation() for when a new reference is first read).
    std::optional<float> referenceOpenness(const cv::Mat& frame, std::span<const cv::Point2f> landmarks, double seconds);

    // Counts the references started, and the anchors renewed while the regions around the eyes had
    // not lately agreed with the map (whose points could not vouch for the new anchor's);
    // values of different generations are not comparable. A
    // reference started on a fresh view of the face (the first frame, after a gap) is read from its
    // second frame on, checked against the frames since it began; one started because the motion
    // was lost stays unverified for `recentWindow`.
    std::uint64_t generation() const { return generation_; }
    // Whether the current generation began on a fresh view of the face (see above), whose first
    // frames are the open eyes that a blink among them is measured against; not one begun because
    // the motion was lost or an anchor was renewed unvouched, whose first frames may show a print
    // already turning.
    bool freshView() const { return freshView_; }

    // Whether the last frame's lids may read closed. Not when its brows, mapped into the reference
    // geometry, came down towards the eye corners by more than `minBrowShare` allows: a strip of a
    // print turned about the eyes pulls brows and lids together towards its axis, while a blink
    // leaves the brows where they were (dlib's corners come down with closing lids, so the brows
    // rather rise above them). Nor when the eyes look as they did while open (`minLidChange`):
    // closing lids cover the iris, while the outline of a still, distorted face (a print folded
    // and held) wanders with the fit alone. Such a frame may still read open.
    bool closable() const { return closable_; }
    // The brows' half of that: they have not come down by more than `minBrowShare` allows.
    bool browsInPlace() const { return check_.browShare >= minBrowShare; }

    // What the last frame's checks measured (for tracing tools).
    struct Check {
        double stretch = 0, shapeChange = 0;
        std::size_t points = 0;
        double spread = 0;
        std::size_t witnesses = 0;
        std::size_t belowWitnesses = 0;
        double witnessDrift = 0, belowDrift = 0;  // the fifth largest share, in eye distances
        double browShare = 1;                     // brow height over its recent highest
        double lidChange = 0;                     // the less changed eye's (see minLidChange)
    };
    const Check& lastCheck() const { return check_; }

private:
    // Follows the anchor's points from the previous frame into `gray`; the anchor-to-now map when
    // enough of them still agree on one plane.
    std::optional<cv::Matx33d> followAnchor(const cv::Mat& gray, std::span<const cv::Point2f> landmarks);
    void startAnchor(const cv::Mat& gray, std::span<const cv::Point2f> landmarks, const cv::Matx33d& toReference,
                     double seconds);
    // Follows a region's points into `gray`: whether they lie where `anchorToNow` puts them
    // (unknown when the anchor had too few there to tell; thinned: too many lost to read the lids,
    // though those left agree). Ordered from best to worst.
    enum class Region { agrees, unknown, thinned, disagrees };
    struct Witnesses {
        std::vector<cv::Point2f> anchor, now;  // in the anchor frame, in the previous frame
        std::size_t count = 0;                 // found in the anchor frame
    };
    Region followRegion(Witnesses& region, const cv::Mat& gray, std::span<const cv::Point2f> landmarks,
                        const cv::Matx33d& anchorToNow, double& worstDrift);

    cv::Mat previous_;                       // grey
    struct Recent {
        double seconds;
        cv::Matx33d toReference;
        std::vector<cv::Point2f> landmarks;
        double browHeight;
        cv::Mat gray;
        float openness;  // in the reference geometry
    };
    std::deque<Recent> recent_;
    std::vector<cv::Point2f> anchorPoints_;  // in the anchor frame
    std::vector<cv::Point2f> points_;        // the same points in the previous frame
    std::size_t anchorCount_ = 0;            // points found in the anchor frame
    Witnesses above_, below_;  // the regions above and below the eyes
    double aroundFineAt_ = 0, aroundTroubleAt_ = 0;  // when the regions around the eyes last agreed, last did not
    cv::Matx33d anchorToReference_ = cv::Matx33d::eye();
    double anchorTime_ = 0, lastTime_ = 0, referenceTime_ = 0;
    std::uint64_t generation_ = 0;
    bool tracking_ = false;
    bool freshReference_ = false;
    bool freshView_ = false;
    bool closable_ = true;
    Check check_;
};

namespace FaceMotion {
// Where to look for points to track: the face inside its outline and up to the forehead, without
// the eyes (with a margin for lids and brows moving in a blink). 8-bit mask of `size`; empty
// without 68 landmarks.
cv::Mat trackingMask(cv::Size size, std::span<const cv::Point2f> landmarks);
// The part of a tracking mask above the eyes: from a tenth of the eye distance below the eye line up.
cv::Mat aboveEyes(const cv::Mat& mask, std::span<const cv::Point2f> landmarks);
// Where the mouth, which moves when the person talks, may begin: this many eye distances below the
// eye line (its top lies about one eye distance below it).
inline constexpr double mouthLine = 0.8;
// The part below the eyes and above the mouth: from a tenth of the eye distance below the eye line
// to the mouth's line, the bridge and tip of the nose and the upper cheeks.
cv::Mat belowEyes(const cv::Mat& mask, std::span<const cv::Point2f> landmarks);
// The parts of a tracking mask above and below the mouth's line.
cv::Mat aboveMouth(const cv::Mat& mask, std::span<const cv::Point2f> landmarks);
cv::Mat belowMouth(const cv::Mat& mask, std::span<const cv::Point2f> landmarks);
// The openness of the eye outlines of 68 landmarks (pixels) after mapping them through
// `homography`, measured in pixels along the mapped eye line. Nothing without 68 landmarks.
std::optional<float> mappedOpenness(std::span<const cv::Point2f> landmarks, const cv::Matx33d& homography);
// How high the brows (landmarks 17–26) lie above the line through the middles of the eyes'
// corners (36 and 39, 42 and 45), after mapping all through `homography`: the mean height over the
// distance between those middles. 0 without 68 landmarks or when the middles coincide.
double browHeight(std::span<const cv::Point2f> landmarks, const cv::Matx33d& homography);
// How differently an eye looks in two frames, each brought into the reference geometry by its map:
// one minus the normalised correlation of the two views of the box about `outline` (the eye's six
// points in the reference geometry, as the first frame saw it). 0 for the same view; 1 or more
// for unrelated ones; 0 when either view is flat (nothing there is seen to change).
double eyeChange(const cv::Mat& then, const cv::Matx33d& thenToReference, const cv::Mat& now,
                 const cv::Matx33d& nowToReference, std::span<const cv::Point2f> outline);
// How unevenly `homography` stretches the face at the eyes' midpoint: the larger over the smaller
// singular value of its derivative there (1 for a similarity). Infinite when degenerate.
double stretchAtEyes(std::span<const cv::Point2f> landmarks, const cv::Matx33d& homography);
// How far the face's outline and nose (landmarks 0–16, 27–35), mapped through `homography`, lie
// from the same points of `reference`: root mean square, in the reference's eye distances.
double shapeChange(std::span<const cv::Point2f> landmarks, const cv::Matx33d& homography,
                   std::span<const cv::Point2f> reference);
}  // namespace FaceMotion

// The scan's openness scale for FaceDetector: the landmark openness and the openness read in the
// reference geometry each go through their own RelativeOpennessScale, and the tracker gets the
// larger of the two, so a frame is closed only when both read closed and open when either does.
// When the motion is unknown the reference reading is RelativeOpennessScale::neutral: such a frame
// can open the eyes but never close them. A closing value reaches the tracker one frame late, and
// only when that next frame is verified too and its brows have not come down. One per scan.
class EyeMotionOpennessScale final : public EyeOpennessScale {
public:
    // Without the face's frame and landmarks nothing can be verified: never closed.
    float toTrackerScale(float rawOpenness, double seconds) override;
    float trackerOpenness(const DetectedFace& face, double seconds) override;

    // The scales both readings go through, the reference's made anew for each of `motion`'s
    // generations (public for tracing tools, which must read as the scan does). The first frames
    // are measured against the widest of them, so that a blink at the scan's start is seen: a fit
    // that sprang wide there cannot close the eyes, as the eyes look no different
    // (FaceMotionTracker::closable). A reference begun mid-scan keeps the steadied start.
    static RelativeOpennessScale landmarkScale() { return RelativeOpennessScale(RelativeOpennessScale::Start::widest); }
    static RelativeOpennessScale referenceScale(const FaceMotionTracker& motion) {
        return RelativeOpennessScale(motion.freshView() ? RelativeOpennessScale::Start::widest
                                                        : RelativeOpennessScale::Start::steadied);
    }

private:
    // What reaches the tracker for this frame's reading `now`; `confirms`: whether this frame may
    // confirm the last frame's closing reading.
    float passOn(float now, bool confirms);

    RelativeOpennessScale landmarks_ = landmarkScale();
    RelativeOpennessScale reference_;
    FaceMotionTracker motion_;
    std::uint64_t referenceGeneration_ = 0;
    // A closing reading waiting for the next frame to be verified, or the reading of the frame that
    // confirmed one, to be passed on with the next.
    std::optional<float> pending_;
};
