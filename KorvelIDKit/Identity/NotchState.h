#pragma once
// What the heads-up scan display shows, and the one observable field the drawn view follows.
// Qt Core only: the state is driven and tested without a display.
#include <QObject>

#include <string>

struct NotchPhase {
    enum class Kind { idle, scanning, blink, approved, denied };
    Kind kind = Kind::idle;
    double progress = 0;  // scanning: 0…1
    std::string text;     // approved: the profile's name; denied: the short reason; scanning: a hint, if any

    static NotchPhase idle() { return {}; }
    static NotchPhase scanning(double progress, std::string hint = {}) { return {Kind::scanning, progress, std::move(hint)}; }
    static NotchPhase blink() { return {Kind::blink, 0, {}}; }
    static NotchPhase approved(std::string name) { return {Kind::approved, 0, std::move(name)}; }
    static NotchPhase denied(std::string reason) { return {Kind::denied, 0, std::move(reason)}; }
    friend bool operator==(const NotchPhase&, const NotchPhase&) = default;
};

// How a phase change is to be animated by the view that follows it.
enum class NotchTransition {
    immediate,  // no animation (scan start, progress reports)
    easeInOut,  // 0.2 s ease-in-out (blink request)
    spring,     // response 0.4 s, damping 0.7 (approval, denial)
    springOut,  // response 0.4 s, damping 0.8 (back to idle)
};

class NotchState : public QObject {
    Q_OBJECT

public:
    explicit NotchState(QObject* parent = nullptr) : QObject(parent) {}

    const NotchPhase& phase() const { return phase_; }
    // Notifies only when the phase actually changes.
    void setPhase(NotchPhase phase, NotchTransition transition = NotchTransition::immediate);

Q_SIGNALS:
    void phaseChanged(const NotchPhase& phase, NotchTransition transition);

private:
    NotchPhase phase_;
};
