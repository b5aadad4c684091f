#pragma once
// The state behind "Use my face for sudo and the login screen": whether the system face service
// answers, whether this account has a face enrolled there, and an enrolment or removal under way.
// Calls to the service run on a worker thread; results come back on the main thread and are
// dropped once the model is gone.
#include <QObject>
#include <QString>

#include <functional>
#include <stop_token>
#include <thread>

class SystemFaceModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(Phase phase READ phase NOTIFY changed)

public:
    enum class Phase { checking, unavailable, notEnrolled, enrolled, working };
    Q_ENUM(Phase)

    explicit SystemFaceModel(QObject* parent = nullptr);
    ~SystemFaceModel() override;  // hangs up on an enrolment under way: the service cancels it

    Phase phase() const { return phase_; }
    // The last outcome for the user, already translated; empty when there is none.
    const QString& message() const { return message_; }
    int captured() const { return captured_; }
    int total() const { return total_; }

    void refresh();
    // `password`: the account's login password (root's processes need none). Wiped after use.
    void enroll(QString password);
    void remove();

Q_SIGNALS:
    void changed();

private:
    void run(std::function<void(std::stop_token)> work);
    void finish(Phase phase, QString message);
    void showProgress(int captured, int total);

    Phase phase_ = Phase::checking;
    QString message_;
    int captured_ = 0;
    int total_ = 0;
    std::jthread worker_;
};
