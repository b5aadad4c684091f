#pragma once
// The user-interface language: the six languages, the stored preference and text lookup by key.
#include "Localization/Translations.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <string>
#include <string_view>

class QSettings;

// Declaration order is the order of the language picker and the column order of the string table.
enum class AppLanguage { english, german, turkish, spanish, french, dutch };

// The two-letter code stored in the preferences ("en", "de", …).
std::string rawValue(AppLanguage language);
// Exactly one of the six codes, case-sensitive; anything else (including "en-US") is nullopt.
std::optional<AppLanguage> appLanguageFromRaw(std::string_view raw);
// The language's own name, as shown in the language picker.
std::string nativeName(AppLanguage language);
const std::array<AppLanguage, 6>& allLanguages();

class Localizer : public QObject {
    Q_OBJECT
    Q_PROPERTY(AppLanguage language READ language NOTIFY languageChanged)

public:
    static constexpr const char* defaultsKey = "com.korvel.id.language";

    // `settings` is not owned and may be null (then the choice is not persisted).
    // `preferredLanguages` is the system's list, most preferred first ("de-CH", "de_CH", "en").
    Localizer(QSettings* settings, QStringList preferredLanguages, QObject* parent = nullptr);

    // The process-wide instance over the user's settings and the system's preferred UI languages.
    // Created on first use and never destroyed, so late lookups during shutdown stay safe.
    static Localizer& shared();

    // The text for `key` in the current language (UTF-8); never fails.
    std::string string(const std::string& key) const;

    AppLanguage language() const { return language_; }
    // A no-op for the current language; otherwise notifies, then stores the choice.
    void setLanguage(AppLanguage language);

    // Text in `language`, else the English text, else the key itself (a missing key then shows
    // up on screen as its dotted name instead of an empty label).
    static std::string lookup(const Translations::Table& table, AppLanguage language,
                              const std::string& key);

Q_SIGNALS:
    void languageChanged(AppLanguage language);

private:
    QSettings* settings_;
    AppLanguage language_;
};

// Shorthands for views: the text for `key` in the current language.
std::string L(const std::string& key);
QString qL(const char* key);
// The text for a count, "%d" filled in: `oneKey` where the language puts a count in the singular
// (English and most others: 1; French: 0 and 1), else `otherKey`.
QString qLCount(const char* oneKey, const char* otherKey, long long count);
