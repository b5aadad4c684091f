#include "Platform/DefaultFileManager.h"

#include <QProcess>
#include <QString>

std::optional<std::string> DefaultFileManager::applicationID() {
    const auto now = std::chrono::steady_clock::now();
    if (checked_ && now - checkedAt_ < std::chrono::seconds(30)) return answer_;
    checked_ = true;
    checkedAt_ = now;
    answer_.reset();
    QProcess process;
    process.start("xdg-mime", {"query", "default", "inode/directory"});
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(1000);
        return answer_;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return answer_;
    auto text = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    text = text.section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(';'), 0, 0).trimmed();
    if (text.endsWith(QLatin1String(".desktop"))) text.chop(8);
    if (!text.isEmpty()) answer_ = text.toStdString();
    return answer_;
}
