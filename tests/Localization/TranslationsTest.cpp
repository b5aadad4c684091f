// Whole-table checks of the string table: a dropped placeholder, a translated product name, a stray
// line break, a straight quote pasted in or a duplicated key would otherwise only show on screen.
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
}  // namespace

TEST(TranslationsKeys, UniqueWithAKnownPrefixAndALowerCamelName) {
    const auto& keys = Translations::keys();
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size()) << "duplicate key";
    EXPECT_EQ(Translations::table().size(), keys.size());
    const std::regex format(
        R"(^(common|menu|tab|general|security|changepw|applock|auth|scan|vault|curtain|enroll|onboard|about)\.[a-z][A-Za-z0-9]*$)");
    for (const auto& key : keys) EXPECT_TRUE(std::regex_match(key, format)) << key;
}

TEST(TranslationsTexts, EveryLanguageIsPresentAndWellFormed) {
    for (const auto& key : Translations::keys()) {
        const auto& texts = Translations::table().at(key);
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

