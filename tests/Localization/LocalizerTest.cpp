// The language preference (stored choice, system fallback, change notification) and text lookup.
#include "Localization/Localization.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace {
const QString preferenceKey = QString::fromLatin1(Localizer::defaultsKey);

// Each test gets its own INI file; `onDisk()` re-reads it through a separate QSettings, so a
// value only counts as stored once it has really been written out.
class LocalizerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        settings_ = std::make_unique<QSettings>(path(), QSettings::IniFormat);
    }

    QString path() const { return dir_.filePath(QStringLiteral("prefs.ini")); }
    QSettings* settings() const { return settings_.get(); }

    void store(const QString& value) {
        settings_->setValue(preferenceKey, value);
        settings_->sync();
    }

    std::optional<QString> onDisk() const {
        QSettings fresh(path(), QSettings::IniFormat);
        return fresh.contains(preferenceKey) ? std::optional(fresh.value(preferenceKey).toString()) : std::nullopt;
    }

    // Records every notification together with what a redrawing view would read at that moment.
    struct Observed {
        AppLanguage language;
        std::string cancelText;
    };
    void observe(Localizer& localizer) {
        std::vector<Observed>* sink = &observed_;
        QObject::connect(&localizer, &Localizer::languageChanged, &localizer,
                         [sink, &localizer](AppLanguage language) {
                             sink->push_back({language, localizer.string("common.cancel")});
                         });
    }
    const std::vector<Observed>& observed() const { return observed_; }

private:
    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;
    std::vector<Observed> observed_;
};

}  // namespace

TEST_F(LocalizerTest, InitialLanguageFromStoredChoiceOrSystemWithoutWriting) {
    struct Case {
        const char* name;
        std::optional<QString> stored;
        QStringList preferred;
        AppLanguage expected;
    };
    const Case cases[] = {
        {"unknown stored value falls to system", QStringLiteral("xx"), {"fr-CA"},
         AppLanguage::french},
        {"unsupported system language", std::nullopt, {"pt-BR"}, AppLanguage::english},
        {"empty preferred list", std::nullopt, {}, AppLanguage::english},
        {"POSIX-style region", std::nullopt, {"de_CH"}, AppLanguage::german},
        {"bare code", std::nullopt, {"nl"}, AppLanguage::dutch},
        {"only the first preference counts", std::nullopt, {"pt-BR", "de"},
         AppLanguage::english},
        {"C locale", std::nullopt, {"C"}, AppLanguage::english},
        {"stored choice beats system", QStringLiteral("tr"), {"de"}, AppLanguage::turkish},
        {"empty stored value", QStringLiteral(""), {"nl-BE"}, AppLanguage::dutch},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings()->remove(preferenceKey);
        if (c.stored) store(*c.stored);
        settings()->sync();
        Localizer localizer(settings(), c.preferred);
        settings()->sync();
        EXPECT_EQ(localizer.language(), c.expected);
        EXPECT_EQ(onDisk(), c.stored) << "the fallback must not be stored";
    }
}

TEST_F(LocalizerTest, SwitchingNotifiesOnceWithNewTextsAndStoresTheChoiceSettingItAgainDoesNothing) {
    Localizer localizer(settings(), {"en-US"});
    observe(localizer);
    ASSERT_EQ(localizer.string("common.cancel"), "Cancel");
    localizer.setLanguage(AppLanguage::english);
    EXPECT_TRUE(observed().empty());
    EXPECT_EQ(onDisk(), std::nullopt) << "the system's language is not stored";

    localizer.setLanguage(AppLanguage::turkish);
    EXPECT_EQ(localizer.language(), AppLanguage::turkish);
    EXPECT_EQ(localizer.string("common.cancel"), "Vazgeç");
    ASSERT_EQ(observed().size(), 1u);
    EXPECT_EQ(observed()[0].language, AppLanguage::turkish);
    // Views redraw from the notification, so the new texts must already be in effect.
    EXPECT_EQ(observed()[0].cancelText, "Vazgeç");
    EXPECT_EQ(onDisk(), QStringLiteral("tr"));

    // The next launch starts in the chosen language, whatever the system prefers; choosing it
    // again there changes nothing either.
    QSettings relaunchSettings(path(), QSettings::IniFormat);
    Localizer relaunched(&relaunchSettings, {"de-DE"});
    EXPECT_EQ(relaunched.language(), AppLanguage::turkish);
    observe(relaunched);
    relaunched.setLanguage(AppLanguage::turkish);
    EXPECT_EQ(observed().size(), 1u);
    EXPECT_EQ(onDisk(), QStringLiteral("tr"));
}

TEST(LocalizerCount, FrenchCountsZeroAndOneInTheSingular) {
    const TestSupport::ScopedLanguage french(AppLanguage::french);
    EXPECT_EQ(qLCount("vault.itemCountOne", "vault.itemCount", 0).toStdString(), "0 élément");
    EXPECT_EQ(qLCount("vault.itemCountOne", "vault.itemCount", 2).toStdString(), "2 éléments");
}
