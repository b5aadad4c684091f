#pragma once
// Shared by the compositor app lock cases: foot terminals "korvel-alpha" (protected, typing lands in
// `typed`) and "korvel-files" (file manager), the real app lock with curtains (password "birch").
#include <QPointer>
#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "AppLock/KorvelIDAppLock.h"
#include "CompositorDesktop.h"
#include "GuardedCurtains.h"
#include "TestSupport.h"

template <class Windows>
struct CompositorAppLock : ::testing::Test {
    TestSupport::TempDir dir;
    CompositorDesktop* desktop = nullptr;
    std::shared_ptr<Windows> windows;
    std::unique_ptr<AppLockController> lock;
    QPointer<LockCurtainWindow> curtain;
    std::filesystem::path typed;
    std::vector<QProcess*> clients;

    // Installs the terminals into `apps` and locks through the window system `open` returns.
    void setUpAppLock(CompositorDesktop& on, const std::filesystem::path& apps, const std::function<std::shared_ptr<Windows>()>& open) {
        desktop = &on;
        CompositorDesktop::writeTerminalEntries(apps);
        TestSupport::writeText(dir / "mimeapps.list", "[Default Applications]\ninode/directory=korvel-files.desktop\n");
        ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        typed = on.runtime / "typed";
        std::filesystem::remove(typed);
        windows = open();
        ASSERT_EQ(windows->windowControl(), WindowControl::available);
        lock = std::make_unique<AppLockController>(windows, dir / "protected-apps.json");
        lock->setCurtainFactory(guardedCurtains(curtain, "birch"));
    }

    void TearDown() override {
        lock.reset();
        windows.reset();
        for (auto* p : clients) CompositorDesktop::stop(*p);
    }

    // Starts one of the terminals and waits until its new window has the focus, which a later focus
    // change must not find still on its way.
    void launch(const QString& appID) {
        clients.push_back(desktop->startTerminal(appID, appID == "korvel-alpha" ? typed : std::filesystem::path()));
        ASSERT_TRUE(TestSupport::waitUntil([&] { return windows->frontmostApplicationID() == appID.toStdString(); }, 10000))
            << appID.toStdString() << " did not show a window";
    }
    std::string typedText() const { return TestSupport::readText(typed); }
};
