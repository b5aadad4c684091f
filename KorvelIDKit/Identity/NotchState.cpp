#include "Identity/NotchState.h"

#include <utility>

void NotchState::setPhase(NotchPhase phase, NotchTransition transition) {
    if (phase == phase_) return;
    phase_ = std::move(phase);
    Q_EMIT phaseChanged(phase_, transition);
}
