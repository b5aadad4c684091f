// One main for every test program, with a Qt application for the whole run. Tests write secrets and
// settings, so they run only inside scripts/test-desktop or with HOME in the temporary folder.
#include <QApplication>
#include <QCoreApplication>
#include <QSettings>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "Localization/Localization.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool inside(const fs::path& dir, const std::string& path) {
    if (path.empty() || path.front() != '/') return false;
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(path, ec), d = fs::weakly_canonical(dir, ec);
    const auto rel = p.lexically_relative(d);
    return !rel.empty() && *rel.begin() != "..";
}

// Why this process may not run, or nothing.
std::optional<std::string> refusal() {
    const std::string home = env("HOME"), desktop = env("KORVEL_DESKTOP_DIR");
    if (!desktop.empty()) {
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            if (!inside(desktop, env(var)))
                return std::string(var) + " (" + env(var) + ") is not inside the test desktop's folder " + desktop;
        return std::nullopt;
    }
    std::error_code ec;
    const fs::path tmp = fs::temp_directory_path(ec);
    if (ec || !inside(tmp, home))
        return "HOME (" + home + ") is not a temporary folder; run the tests inside scripts/test-desktop, or with "
               "HOME=$(mktemp -d)";
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const auto why = refusal()) {
        std::fprintf(stderr, "Refusing to run against a real session: %s.\n", why->c_str());
        return 1;
    }
    if (env("KORVEL_DESKTOP_DIR").empty()) {
        // A temporary HOME alone: its own data and settings folders, no keyring or display of the
        // session around it (widgets draw offscreen).
        const std::string home = env("HOME");
        ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvel-tests-have-no-session-bus", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelIDTests");
    QCoreApplication::setApplicationName("korvel-tests");
    // Settings (the chosen language among them) are this process's own: test programs and cases
    // run in parallel, and a choice one of them makes must not reach another.
    const TestSupport::TempDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(settings.path().string()));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(settings.path().string()));
    Localizer::shared().setLanguage(AppLanguage::english);
    return RUN_ALL_TESTS();
}
