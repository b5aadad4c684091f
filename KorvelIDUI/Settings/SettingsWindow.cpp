#include "Settings/SettingsWindow.h"

#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

#include "Common/SymbolIcon.h"
#include "Localization/Localization.h"
#include "Settings/GeneralView.h"
#include "Settings/SecurityView.h"
#include "Shell/ShellServices.h"
#include "Vault/VaultView.h"

namespace {
struct Tab {
    const char* key;
    const char* symbol;
};
constexpr Tab tabList[] = {
    {"tab.general", "gearshape"}, {"tab.appLock", "lock.app.dashed"}, {"tab.vault", "lock.doc"}, {"tab.security", "key.fill"}};
}  // namespace

SettingsWindow::SettingsWindow(AppState& state, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                          Qt::CustomizeWindowHint) {
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(QStringLiteral("Korvel ID"));
    setFixedSize(640, 480);
    tabs_ = new QTabWidget;
    tabs_->setObjectName(QStringLiteral("settingsTabs"));
    vault_ = new VaultView;
    QWidget* appLock = ShellServices::shared().makeAppLockPage();
    appLock->setObjectName(appLock->objectName().isEmpty() ? QStringLiteral("appLockPage") : appLock->objectName());
    QWidget* pages[] = {new GeneralView(state), appLock, vault_, new SecurityView(state)};
    for (std::size_t i = 0; i < std::size(tabList); ++i)
        tabs_->addTab(pages[i], SymbolIcon::icon(QString::fromLatin1(tabList[i].symbol)), {});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->addWidget(tabs_);
    // Tab switching from anywhere in the window: a focused combo box or scroll area would otherwise
    // keep Ctrl+Tab from reaching the tabs.
    const auto step = [this](int by) { tabs_->setCurrentIndex((tabs_->currentIndex() + by + tabs_->count()) % tabs_->count()); };
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab), this), &QShortcut::activated, this, [step] { step(1); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), this), &QShortcut::activated, this, [step] { step(-1); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backtab), this), &QShortcut::activated, this, [step] { step(-1); });
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &SettingsWindow::retranslate);
    retranslate();
}

void SettingsWindow::retranslate() {
    for (int i = 0; i < tabs_->count(); ++i) tabs_->setTabText(i, qL(tabList[i].key));
}

void SettingsWindow::present() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}
