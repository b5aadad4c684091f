#pragma once
// The main window (640 × 480): General, App Lock, Vault and Security tabs.
#include <QWidget>

class AppState;
class QTabWidget;
class VaultView;

class SettingsWindow : public QWidget {
    Q_OBJECT

public:
    explicit SettingsWindow(AppState& state, QWidget* parent = nullptr);
    QTabWidget& tabs() { return *tabs_; }
    VaultView& vault() { return *vault_; }
    void present();

private:
    void retranslate();

    QTabWidget* tabs_;
    VaultView* vault_;
};
