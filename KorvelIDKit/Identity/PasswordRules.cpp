#include "Identity/PasswordRules.h"

#include <QString>
#include <QTextBoundaryFinder>

namespace PasswordRules {

int perceivedLength(std::string_view utf8) {
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0) ++count;
    return count;
}

}  // namespace PasswordRules
