#pragma once
// Damped-spring motion for property animations. A spring is given as the time of one undamped
// oscillation (response, seconds) and its damping fraction (1 = no overshoot). The easing curve
// follows the spring from 0 to 1 and the animation lasts until the spring has settled.
#include <QEasingCurve>

class QVariantAnimation;

struct Spring {
    double response = 0.4;
    double damping = 0.7;

    // Position of a spring released at 0 towards 1, `seconds` after release.
    double position(double seconds) const;
    // Time after which the spring stays within 0.2 % of its target.
    double settleSeconds() const;
};

namespace SpringEasing {

void applyCurve(QVariantAnimation& animation, const QEasingCurve& easing, const Spring& spring);

template <int ResponseMs, int DampingPermille>
qreal curve(qreal progress) {
    constexpr Spring spring{ResponseMs / 1000.0, DampingPermille / 1000.0};
    if (progress >= 1) return 1;
    return spring.position(progress * spring.settleSeconds());
}

// Gives `animation` the spring's easing and its settling time as duration.
template <int ResponseMs, int DampingPermille>
void apply(QVariantAnimation& animation) {
    QEasingCurve easing;
    easing.setCustomType(&curve<ResponseMs, DampingPermille>);
    applyCurve(animation, easing, Spring{ResponseMs / 1000.0, DampingPermille / 1000.0});
}

}  // namespace SpringEasing
