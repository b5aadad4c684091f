// Whole-table checks of the built-in string table: the faults these catch (a dropped
// placeholder, a translated product name, a stray line break, a straight quote pasted in,
// a duplicated key) would otherwise only show up on screen.
#include "Localization/Localization.h"
#include "Localization/Translations.h"

#include <gtest/gtest.h>

#include <QString>

#include <regex>
#include <set>

namespace {
const char* const languageNames[] = {"en", "de", "tr", "es", "fr", "nl"};

// The printf-style placeholders in order of appearance; "%%" is a literal percent sign.
std::vector<std::string> placeholders(std::string_view text) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (text[i + 1] != '%') found.emplace_back(text.substr(i, 2));
        ++i;
    }
    return found;
}

// Malformed input does not survive the round trip: Qt substitutes U+FFFD for it.
bool isValidUtf8(const std::string& text) {
    return QString::fromUtf8(text).toUtf8().toStdString() == text;
}

std::size_t countOf(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

const Translations::Texts& row(const std::string& key) { return Translations::table().at(key); }
}  // namespace

TEST(PlaceholderExtractor, FindsKindsInOrderAndSkipsLiteralPercent) {
    EXPECT_EQ(placeholders("Capturing sample %d/%d"), (std::vector<std::string>{"%d", "%d"}));
    EXPECT_EQ(placeholders("%@ is %d%% done"), (std::vector<std::string>{"%@", "%d"}));
    EXPECT_EQ(placeholders("100%% sure"), std::vector<std::string>{});
    EXPECT_EQ(placeholders("trailing %"), std::vector<std::string>{});
}

TEST(TranslationsKeys, ExactlyTheKnownKeysInWrittenOrderWithAKnownPrefixAndALowerCamelName) {
    const auto& keys = Translations::keys();
    const auto& table = Translations::table();
    ASSERT_EQ(keys.size(), 149u);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size()) << "duplicate key";
    EXPECT_EQ(table.size(), keys.size());
    const std::regex format(
        R"(^(common|menu|tab|general|security|changepw|applock|auth|vault|curtain|enroll|onboard)\.[a-z][A-Za-z0-9]*$)");
    for (const auto& key : keys) {
        EXPECT_TRUE(table.contains(key)) << key;
        EXPECT_TRUE(std::regex_match(key, format)) << key;
    }
    // The order groups texts by screen; spot-check both ends and a group boundary.
    EXPECT_EQ(keys.front(), "common.cancel");
    EXPECT_EQ(keys[7], "menu.open");
    EXPECT_EQ(keys.back(), "onboard.saveFailed");
}

TEST(TranslationsTexts, EveryLanguageIsPresentAndWellFormed) {
    for (const auto& key : Translations::keys()) {
        const auto& texts = row(key);
        const auto englishPlaceholders = placeholders(texts[0]);
        for (std::size_t language = 0; language < texts.size(); ++language) {
            const std::string& text = texts[language];
            SCOPED_TRACE(key + " [" + languageNames[language] + "]");
            EXPECT_FALSE(text.empty());
            EXPECT_TRUE(isValidUtf8(text));
            EXPECT_EQ(placeholders(text), englishPlaceholders);
            for (const char* verbatim : {"Korvel ID", "AES-256", "Mac"}) {
                if (texts[0].find(verbatim) != std::string::npos) {
                    EXPECT_NE(text.find(verbatim), std::string::npos) << verbatim;
                }
            }
            EXPECT_EQ(countOf(text, "\n"), key == "vault.dropHint" ? 1u : 0u);
            EXPECT_EQ(text.find('\r'), std::string::npos);
            // Typographic punctuation only: "..." and ' are paste accidents.
            EXPECT_EQ(text.find("..."), std::string::npos);
            EXPECT_EQ(text.find('\''), std::string::npos);
            // An ellipsis promises a dialog or ongoing work; that must not get lost.
            if (texts[0].ends_with("…")) {
                EXPECT_TRUE(text.ends_with("…"));
            }
            EXPECT_FALSE(text.front() == ' ' || text.back() == ' ') << "stray space";
        }
    }
}

TEST(TranslationsTexts, TellingRowsAndEnglishTextsAreExact) {
    const std::vector<std::pair<std::string, Translations::Texts>> rows = {
        {"common.cancel", {"Cancel", "Abbrechen", "Vazgeç", "Cancelar", "Annuler", "Annuleren"}},
        {"menu.open",
         {"Open Korvel ID…", "Korvel ID öffnen…", "Korvel ID’yi Aç…", "Abrir Korvel ID…", "Ouvrir Korvel ID…",
          "Korvel ID openen…"}},
        {"tab.vault", {"Vault", "Tresor", "Kasa", "Caja fuerte", "Coffre", "Kluis"}},
        {"vault.itemCount",
         {"%d item(s)", "%d Objekt(e)", "%d öğe", "%d elemento(s)", "%d élément(s)", "%d item(s)"}},
        {"curtain.locked",
         {"%@ is locked", "%@ ist gesperrt", "%@ kilitli", "%@ está bloqueada", "%@ est verrouillée",
          "%@ is vergrendeld"}},
        {"applock.graceSeconds",
         {"%ds grace", "%ds Karenz", "%dsn tolerans", "%ds de gracia", "%ds de grâce", "%ds tolerantie"}},
    };
    for (const auto& [key, texts] : rows) EXPECT_EQ(row(key), texts) << key;

    // English texts with typographic characters, and the texts adapted to Linux.
    const std::pair<const char*, const char*> english[] = {
        {"vault.dropHint", "Drag files here or click “Add Files…”.\nEverything you add is encrypted with AES-256."},
        {"security.passwordNote",
         "Your master password is the fallback when face unlock isn’t available, and it protects your Vault. It "
         "cannot be recovered if lost."},
        {"enroll.capturing", "Capturing sample %d/%d — slowly turn your head."},
        {"enroll.complete", "Enrollment complete 🎉"},
        {"onboard.tagline", "Protect your computer and your private files with your face."},
        {"enroll.openSettings",
         "Make sure your user may use the camera (for example, membership of the “video” group), then try again."},
    };
    for (const auto& [key, text] : english) EXPECT_EQ(row(key)[0], text) << key;
}

TEST(TranslationsTexts, LinuxAdaptedTextsNameNoMacFacilities) {
    for (const char* key : {"onboard.tagline", "enroll.openSettings"}) {
        for (std::size_t language = 0; language < 6; ++language) {
            const std::string& text = row(key)[language];
            SCOPED_TRACE(std::string(key) + " [" + languageNames[language] + "]");
            EXPECT_EQ(text.find("Mac"), std::string::npos);
            EXPECT_EQ(text.find("→"), std::string::npos);
            // The group name is what the user types into usermod; it must never be translated.
            if (key == std::string("enroll.openSettings")) {
                EXPECT_NE(text.find("video"), std::string::npos);
            }
        }
    }
}
