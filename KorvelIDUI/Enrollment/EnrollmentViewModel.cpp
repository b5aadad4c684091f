#include "Enrollment/EnrollmentViewModel.h"

#include <QFutureWatcher>

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include <QPointer>

#include "Face/CameraController.h"
#include "Localization/Localization.h"
#include "Support/Async.h"

EnrollmentViewModel::EnrollmentViewModel(AuthEngine& engine, CameraAccessCheck cameraAccess, QObject* parent)
    : QObject(parent), session_(engine), cameraAccess_(std::move(cameraAccess)), name_(accountFullName()) {
    connect(&session_, &ScanSession::event, this, &EnrollmentViewModel::handle);
    connect(&session_, &ScanSession::previewFrame, this, [this](const QImage& frame) {
        previewImage_ = frame;
        Q_EMIT previewImageChanged();
    });
    connect(&session_, &ScanSession::ended, this, &EnrollmentViewModel::enrollmentEnded);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &EnrollmentViewModel::changed);
}

QString EnrollmentViewModel::accountFullName() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
    const QString login = QString::fromLocal8Bit(found->pw_name);
    QString full = QString::fromLocal8Bit(found->pw_gecos ? found->pw_gecos : "").section(u',', 0, 0).trimmed();
    // "&" in the GECOS field stands for the login name with a capital first letter.
    if (full.contains(u'&') && !login.isEmpty()) full.replace(u'&', login.left(1).toUpper() + login.mid(1));
    return full.isEmpty() ? login : full;
}

void EnrollmentViewModel::setName(const QString& name) {
    if (name == name_) return;
    name_ = name;
    Q_EMIT changed();
}

QString EnrollmentViewModel::statusText() const {
    QString text = qL(statusKey_);
    // "Capturing sample %d/%d …": the numbers in order.
    for (const int value : {captured_, total_}) {
        const auto at = text.indexOf(QLatin1String("%d"));
        if (at < 0) break;
        text.replace(at, 2, QString::number(value));
    }
    return text;
}

QString EnrollmentViewModel::errorText() const { return errorKey_ ? qL(errorKey_) : errorMessage_; }

double EnrollmentViewModel::progress() const {
    return total_ < 1 ? 0.0 : static_cast<double>(captured_) / static_cast<double>(total_);
}

void EnrollmentViewModel::setStatus(const char* key) { statusKey_ = key; }

void EnrollmentViewModel::setErrorKey(const char* key) {
    errorKey_ = key;
    errorMessage_.clear();
}

void EnrollmentViewModel::start() {
    if (isCapturing_ || isDone_ || session_.isRunning() || confirming_) return;
    // Only the emptiness check trims: the profile gets the name exactly as typed.
    if (name_.trimmed().isEmpty()) {
        setErrorKey("enroll.needName");
        Q_EMIT changed();
        return;
    }
    if (approvalSpent_) {
        // The password that opened the window covered one try: a window left open after a failed
        // one must not let whoever comes next enrol a face.
        confirming_ = true;
        using CredentialGate::Outcome;
        Async::whenFinished(CredentialGate::confirm(CredentialGate::Change::addFace),
                            [self = QPointer(this)](const QFuture<Outcome>& answer) {
                                if (self) self->approvalAnswered(Async::valueOr(answer, Outcome::refused));
                            });
        return;
    }
    approvalSpent_ = true;
    setErrorKey(nullptr);
    isCapturing_ = true;
    setStatus("enroll.requesting");
    Q_EMIT changed();

    // The watcher belongs to the model: an answer arriving after the window closed goes nowhere.
    const std::uint64_t generation = ++generation_;
    auto* watcher = new QFutureWatcher<CameraAccess>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation != generation_) return;
        accessAnswered(Async::valueOr(watcher->future(), CameraAccess::unavailable));
    });
    watcher->setFuture(Async::runDetached<CameraAccess>(cameraAccess_));
}

void EnrollmentViewModel::approvalAnswered(CredentialGate::Outcome outcome) {
    confirming_ = false;
    if (outcome == CredentialGate::Outcome::keyringLocked) return Q_EMIT keyringLocked();
    if (outcome != CredentialGate::Outcome::allowed) return;
    approvalSpent_ = false;
    start();
}

void EnrollmentViewModel::accessAnswered(CameraAccess access) {
    switch (access) {
    case CameraAccess::granted:
        setStatus("enroll.center");
        session_.startEnrollment(name_.toStdString());
        break;
    case CameraAccess::denied:
        // There is no settings page to open here; the status line says what to change.
        isCapturing_ = false;
        setErrorKey("enroll.denied");
        setStatus("enroll.openSettings");
        break;
    case CameraAccess::unavailable:
        isCapturing_ = false;
        // No capture device at all: say so, and what would help.
        setErrorKey("scan.noCamera");
        setStatus("enroll.noCamera");
        break;
    }
    Q_EMIT changed();
}

void EnrollmentViewModel::cancel() {
    ++generation_;
    session_.cancel();
}

void EnrollmentViewModel::handle(const EnrollmentEvent& event) {
    switch (event.kind) {
    case EnrollmentEvent::Kind::progress:
        captured_ = static_cast<int>(event.captured);
        total_ = static_cast<int>(event.total);
        setStatus("enroll.capturing");
        break;
    case EnrollmentEvent::Kind::finished:
        isCapturing_ = false;
        isDone_ = true;
        setStatus("enroll.complete");
        break;
    case EnrollmentEvent::Kind::failed:
        isCapturing_ = false;
        // The camera's own failures have texts in every language; anything else is shown as given.
        errorKey_ = event.message == CameraError::noDevice().description()        ? "scan.noCamera"
                    : event.message == CameraError::notAuthorized().description() ? "enroll.denied"
                                                                                  : nullptr;
        errorMessage_ = errorKey_ ? QString() : QString::fromStdString(event.message);
        setStatus("enroll.failed");
        break;
    case EnrollmentEvent::Kind::needBetterFace:
        if (isDone_) return;
        setStatus("enroll.unclear");
        break;
    }
    Q_EMIT changed();
}
