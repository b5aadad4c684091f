#include "Shell/LaunchAtLogin.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <syslog.h>

#include <system_error>

#include "Shell/AppLog.h"
#include "Support/FileIO.h"

namespace fs = std::filesystem;

fs::path LaunchAtLogin::entryPath() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return fs::path(config.toStdString()) / "autostart" / entryName;
}

bool LaunchAtLogin::isEnabled() {
    const ReadResult read = readWholeFile(entryPath());
    if (!read.ok()) return false;
    const std::string text(read.data.begin(), read.data.end());
    return text.find("\nHidden=true") == std::string::npos;
}

std::string LaunchAtLogin::execLine() {
    // Desktop entries quote arguments with double quotes; a path with spaces must be quoted.
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    if (program.find_first_of(" \t\"\\$`") == std::string::npos) return program;
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

void LaunchAtLogin::set(bool enabled) {
    const fs::path path = entryPath();
    try {
        if (enabled) {
            std::error_code ec;
            fs::create_directories(path.parent_path(), ec);
            if (ec) throw FileError(ec.message());
            const std::string entry = "[Desktop Entry]\nType=Application\nName=Korvel ID\nExec=" + execLine() + " " + trayOption +
                                      "\nIcon=com.korvel.id\nX-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
            writeFileAtomically(path, entry, 0644);
        } else {
            std::error_code ec;
            fs::remove(path, ec);
            if (ec) throw FileError(ec.message());
        }
    } catch (const std::exception& e) {
        const std::string line = std::string("Korvel ID: launch-at-login toggle failed: ") + e.what();
        syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
        AppLog::app().error(line);
    }
}
