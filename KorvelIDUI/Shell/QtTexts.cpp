#include "Shell/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "Localization/Localization.h"

void followLanguageInQtTexts() {
    static QTranslator* qtTexts = nullptr;
    static bool following = false;
    if (following) return;
    following = true;
    const auto load = [](AppLanguage language) {
        if (qtTexts) {
            QCoreApplication::removeTranslator(qtTexts);
            delete qtTexts;
            qtTexts = nullptr;
        }
        auto* translator = new QTranslator;
        if (translator->load(QLocale(QString::fromStdString(rawValue(language))), QStringLiteral("qtbase"), QStringLiteral("_"),
                             QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            QCoreApplication::installTranslator(translator);
            qtTexts = translator;
        } else {
            delete translator;  // English, or no translations installed: Qt's built-in texts
        }
    };
    load(Localizer::shared().language());
    QObject::connect(&Localizer::shared(), &Localizer::languageChanged, QCoreApplication::instance(), load);
}

