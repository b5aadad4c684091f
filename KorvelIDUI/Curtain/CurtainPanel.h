#pragma once
// One full-screen curtain window: the interactive panel on the key screen (it carries the
// LockCurtainView) or a blank cover on another screen. Frameless, above every other window and
// outside the window manager's control, so no managed window can be raised over it and the
// window manager cannot move, iconify or close it.
#include <QWidget>

class QScreen;

class CurtainPanel : public QWidget {
    Q_OBJECT

public:
    enum class Role { key, cover };

    CurtainPanel(Role role, QScreen* screen);

    Role role() const { return role_; }
    // Fills `screen`'s whole frame.
    void coverScreen(QScreen* screen);

protected:
    void paintEvent(QPaintEvent* event) override;
    // Wayland compositors (and X11 tools) can ask any window to close; a curtain goes only when
    // its lock ends, which hides it.
    void closeEvent(QCloseEvent* event) override;

private:
    Role role_;
};
