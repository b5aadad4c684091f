#pragma once
// The first-run walk: welcome, master password (required), face (may be skipped), done. Holds the
// step, the typed passwords and the rules; the window only shows it. Qt Core and the kit only.
#include <QFuture>
#include <QObject>
#include <QString>

#include <functional>
#include <string>

class AppState;

class OnboardingState : public QObject {
    Q_OBJECT

public:
    enum class Step { welcome = 0, master = 1, face = 2, done = 3 };

    explicit OnboardingState(AppState& state, QObject* parent = nullptr);

    Step step() const { return step_; }
    const QString& password() const { return password_; }
    const QString& confirm() const { return confirm_; }
    // A string-table key, empty when there is no error.
    const QString& passwordError() const { return passwordError_; }
    bool isSavingPassword() const { return saving_; }

    void setPassword(const QString& text);
    void setConfirm(const QString& text);

    bool canAdvance() const;
    // Not back from the face step: the password is saved by then, and going back to its page would
    // let anyone at the open window replace it without knowing it.
    bool showsBack() const { return step_ == Step::master; }
    // The string-table key of the primary button.
    const char* primaryTitleKey() const;

    // Moves on; on the password step it first checks and stores the password (asynchronously).
    void advance();
    void back();

    // The key of the first rule `password`/`confirm` break (length before match), or nullptr.
    static const char* validate(const QString& password, const QString& confirm);

    // Replaces MasterPassword::setFirstAsync (tests).
    void setPasswordSaver(std::function<QFuture<bool>(std::string)> saver) { saver_ = std::move(saver); }

Q_SIGNALS:
    void changed();
    // The done step's button was pressed; emitted once.
    void completed();

private:
    void setStep(Step step);
    void savePassword();

    AppState& state_;
    Step step_ = Step::welcome;
    QString password_;
    QString confirm_;
    QString passwordError_;
    bool saving_ = false;
    bool completed_ = false;
    std::function<QFuture<bool>(std::string)> saver_;
};
