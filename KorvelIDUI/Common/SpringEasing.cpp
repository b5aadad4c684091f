#include "Common/SpringEasing.h"

#include <QVariantAnimation>

#include <algorithm>
#include <cmath>
#include <numbers>

double Spring::position(double t) const {
    const double omega = 2 * std::numbers::pi / std::max(response, 1e-3);
    const double zeta = std::max(damping, 0.0);
    if (zeta >= 1) return 1 - std::exp(-omega * t) * (1 + omega * t);
    const double decay = zeta * omega;
    const double omegaD = omega * std::sqrt(1 - zeta * zeta);
    return 1 - std::exp(-decay * t) * (std::cos(omegaD * t) + decay / omegaD * std::sin(omegaD * t));
}

double Spring::settleSeconds() const {
    const double omega = 2 * std::numbers::pi / std::max(response, 1e-3);
    const double zeta = std::clamp(damping, 0.05, 1.0);
    // The oscillation's envelope is e^(-zeta·omega·t) / sqrt(1 - zeta²).
    const double amplitude = zeta < 1 ? 1 / std::sqrt(1 - zeta * zeta) : 1 + 6;
    return std::log(amplitude / 0.002) / (zeta * omega);
}

void SpringEasing::applyCurve(QVariantAnimation& animation, const QEasingCurve& easing, const Spring& spring) {
    animation.setEasingCurve(easing);
    animation.setDuration(static_cast<int>(std::lround(spring.settleSeconds() * 1000)));
}
