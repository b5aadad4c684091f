#pragma once
// One protected application on the app-lock page: icon, name over ID, the grace picker and the
// remove button. It reports the user's choices; the page applies them.
#include <QWidget>

#include <cstdint>

#include "AppLock/ProtectedApp.h"

class QComboBox;
class QLabel;
class QToolButton;

class AppLockRow : public QWidget {
    Q_OBJECT

public:
    AppLockRow(ProtectedApp app, const QIcon& icon, QWidget* parent = nullptr);

    const ProtectedApp& app() const { return app_; }

Q_SIGNALS:
    void graceChangeRequested(std::int64_t seconds);
    void removeRequested();

private:
    void retranslate();

    ProtectedApp app_;
    QComboBox* gracePicker_ = nullptr;
    QToolButton* removeButton_ = nullptr;
};
