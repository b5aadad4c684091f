#pragma once
// Blink detection: an eye must be seen clearly open, then clearly closed, then clearly open again.
#include <cstdint>

class LivenessTracker {
public:
    enum class Phase { waitingForOpen, sawOpen, sawClose };

    LivenessTracker(float openThreshold = 0.22f, float closeThreshold = 0.13f)
        : openThreshold_(openThreshold), closeThreshold_(closeThreshold) {}

    // Both comparisons include the threshold; values between the two never change the phase.
    void update(float openness) {
        switch (phase_) {
        case Phase::waitingForOpen:
            if (openness >= openThreshold_) phase_ = Phase::sawOpen;
            break;
        case Phase::sawOpen:
            if (openness <= closeThreshold_) phase_ = Phase::sawClose;
            break;
        case Phase::sawClose:
            if (openness >= openThreshold_) {
                ++blinkCount_;
                phase_ = Phase::sawOpen;
            }
            break;
        }
    }

    std::int64_t blinkCount() const { return blinkCount_; }
    Phase phase() const { return phase_; }
    float openThreshold() const { return openThreshold_; }
    float closeThreshold() const { return closeThreshold_; }

private:
    float openThreshold_;
    float closeThreshold_;
    Phase phase_ = Phase::waitingForOpen;
    std::int64_t blinkCount_ = 0;
};
