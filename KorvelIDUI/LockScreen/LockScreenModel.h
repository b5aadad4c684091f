#pragma once
// What the lock view shows and when it scans: one face unlock at a time, the reason of the last
// refusal, and the texts and symbol that follow from the status. Qt Core and the kit only.
#include "Identity/UnlockResult.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class LockScreenModel : public QObject {
    Q_OBJECT

public:
    enum class Status { idle, scanning, denied };
    // Starts one face unlock (with the scan display) and calls the completion on the main thread.
    using Completion = std::function<void(const UnlockResult&)>;
    using UnlockFunction = std::function<void(Completion)>;

    // The application's face unlock through the identity controller.
    static UnlockFunction defaultUnlock();

    // An empty `unlock` means defaultUnlock().
    explicit LockScreenModel(UnlockFunction unlock = {}, QObject* parent = nullptr);

    Status status() const { return status_; }
    const std::optional<std::string>& lastReason() const { return lastReason_; }

    // Starts a scan unless one is running. An approval is reported through `approved`; the status
    // then stays `scanning` because the host normally removes the screen.
    void runUnlock();

    // The line under the title: the host's subtitle, or why the face was not accepted.
    QString statusLine(const QString& subtitle) const;
    QString buttonText() const;
    bool isButtonEnabled() const { return status_ != Status::scanning; }
    // Without an enrolled face another try cannot succeed, so the face button is not offered.
    bool offersFace() const { return !noFaceEnrolled_; }
    QString symbolName() const;

Q_SIGNALS:
    void changed();
    void approved(const QString& name);

private:
    void finish(const UnlockResult& result);

    UnlockFunction unlock_;
    Status status_ = Status::idle;
    std::optional<std::string> lastReason_;
    bool noFaceEnrolled_ = false;
};
