#pragma once
// The built-in string table: every user-visible text by dotted key, in all six languages.
// There are no resource files; the texts are compiled into the library.
#include <array>
#include <string>
#include <unordered_map>
#include <vector>

namespace Translations {
// One text per language; the column index is the AppLanguage value (0 en, 1 de, 2 tr, 3 es,
// 4 fr, 5 nl). Texts are UTF-8; some carry "%d"/"%@" placeholders that the caller fills in.
using Texts = std::array<std::string, 6>;
using Table = std::unordered_map<std::string, Texts>;

// Built once on first use (thread-safe) and never changed afterwards.
const Table& table();

// The keys in the order the table is written, grouped by screen.
const std::vector<std::string>& keys();
}  // namespace Translations
