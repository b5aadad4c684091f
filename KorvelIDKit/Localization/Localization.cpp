#include "Localization/Localization.h"

#include <QLocale>
#include <QSettings>
#include <QVariant>

#include <cstddef>
#include <utility>

namespace {
struct LanguageInfo {
    const char* raw;
    const char* nativeName;
};

// Indexed by AppLanguage value.
constexpr std::array<LanguageInfo, 6> languageInfo{{
    {"en", "English"},
    {"de", "Deutsch"},
    {"tr", "Türkçe"},
    {"es", "Español"},
    {"fr", "Français"},
    {"nl", "Nederlands"},
}};

std::size_t indexOf(AppLanguage language) { return static_cast<std::size_t>(language); }

// Stored choice first; otherwise the system's first preferred language, of which only the
// language part counts ("de-CH" and "de_CH" both mean German). The fallback is not stored, so
// the app keeps following the system until the user picks a language.
AppLanguage initialLanguage(const QSettings* settings, const QStringList& preferredLanguages) {
    if (settings) {
        const QVariant stored = settings->value(QString::fromLatin1(Localizer::defaultsKey));
        if (stored.isValid()) {
            if (const auto language = appLanguageFromRaw(stored.toString().toStdString())) {
                return *language;
            }
        }
    }
    const QString first =
        preferredLanguages.isEmpty() ? QStringLiteral("en") : preferredLanguages.first();
    return appLanguageFromRaw(first.left(2).toStdString()).value_or(AppLanguage::english);
}
}  // namespace

std::string rawValue(AppLanguage language) { return languageInfo.at(indexOf(language)).raw; }

std::optional<AppLanguage> appLanguageFromRaw(std::string_view raw) {
    for (const AppLanguage language : allLanguages()) {
        if (raw == languageInfo[indexOf(language)].raw) {
            return language;
        }
    }
    return std::nullopt;
}

std::string nativeName(AppLanguage language) {
    return languageInfo.at(indexOf(language)).nativeName;
}

const std::array<AppLanguage, 6>& allLanguages() {
    static constexpr std::array<AppLanguage, 6> all{AppLanguage::english, AppLanguage::german,
                                                    AppLanguage::turkish, AppLanguage::spanish,
                                                    AppLanguage::french,  AppLanguage::dutch};
    return all;
}

Localizer::Localizer(QSettings* settings, QStringList preferredLanguages, QObject* parent)
    : QObject(parent),
      settings_(settings),
      language_(initialLanguage(settings, std::move(preferredLanguages))) {}

Localizer& Localizer::shared() {
    static Localizer* const instance = [] {
        auto* settings = new QSettings();
        auto* localizer = new Localizer(settings, QLocale::system().uiLanguages());
        settings->setParent(localizer);
        return localizer;
    }();
    return *instance;
}

std::string Localizer::string(const std::string& key) const {
    return lookup(Translations::table(), language_, key);
}

void Localizer::setLanguage(AppLanguage language) {
    if (language == language_) {
        return;
    }
    language_ = language;
    Q_EMIT languageChanged(language);
    if (settings_) {
        settings_->setValue(QString::fromLatin1(defaultsKey),
                            QString::fromStdString(rawValue(language)));
        // The shared instance is never destroyed, so its QSettings would never flush on its own
        // if the process ends before the next event-loop turn.
        settings_->sync();
    }
}

std::string Localizer::lookup(const Translations::Table& table, AppLanguage language,
                              const std::string& key) {
    const auto found = table.find(key);
    if (found == table.end()) {
        return key;
    }
    const Translations::Texts& texts = found->second;
    if (const std::string& own = texts[indexOf(language)]; !own.empty()) {
        return own;
    }
    if (const std::string& english = texts[indexOf(AppLanguage::english)]; !english.empty()) {
        return english;
    }
    return key;
}

std::string L(const std::string& key) { return Localizer::shared().string(key); }

QString qL(const char* key) { return QString::fromStdString(L(key)); }

QString qLCount(const char* oneKey, const char* otherKey, long long count) {
    const bool singular = Localizer::shared().language() == AppLanguage::french ? (count == 0 || count == 1) : count == 1;
    return qL(singular ? oneKey : otherKey).replace(QStringLiteral("%d"), QString::number(count));
}
