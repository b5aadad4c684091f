#include "DesktopEntries.h"

#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {
// Desktop entries are a few KiB; a larger file is not one.
constexpr std::size_t maxEntrySize = 1024 * 1024;

// Reads a regular file without blocking on a FIFO or device that carries an entry's name.
std::optional<std::string> readSmallFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || std::size_t(st.st_size) > maxEntrySize) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, std::size_t(n));
        if (text.size() > maxEntrySize) break;
    }
    ::close(fd);
    if (text.size() > maxEntrySize) return std::nullopt;
    return text;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return !a.empty() && lower(a) == lower(b); }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// String values may carry \s \n \t \r \\ escapes.
std::string unescapeValue(std::string_view v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        switch (v[++i]) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default: out += '\\'; out += v[i];
        }
    }
    return out;
}

// Entries must be UTF-8; broken bytes become U+FFFD so names can be shown and stored.
std::string validUtf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())).toStdString(); }

bool isTrue(std::string_view v) { return v == "true"; }

// The arguments of an Exec line: separated by spaces; double quotes group, and inside them a
// backslash escapes " ` $ and \.
std::vector<std::string> splitExec(std::string_view exec) {
    std::vector<std::string> args;
    std::string cur;
    bool inQuotes = false, have = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < exec.size()) cur += exec[++i];
            else if (c == '"') inQuotes = false;
            else cur += c;
        } else if (c == ' ' || c == '\t') {
            if (have) args.push_back(std::move(cur));
            cur.clear();
            have = false;
        } else if (c == '"') {
            inQuotes = true;
            have = true;
        } else {
            cur += c;
            have = true;
        }
    }
    if (have) args.push_back(std::move(cur));
    return args;
}

fs::path findInPath(const std::string& program) {
    if (program.empty()) return {};
    fs::path found;
    if (program.find('/') != std::string::npos) {
        found = program;
    } else {
        const char* pathEnv = std::getenv("PATH");
        std::string_view path = pathEnv ? pathEnv : "/usr/local/bin:/usr/bin:/bin";
        while (found.empty()) {
            const auto colon = path.find(':');
            const std::string_view dir = path.substr(0, colon);
            if (!dir.empty()) {
                const fs::path candidate = fs::path(dir) / program;
                if (::access(candidate.c_str(), X_OK) == 0) found = candidate;
            }
            if (colon == std::string_view::npos) break;
            path.remove_prefix(colon + 1);
        }
    }
    if (found.empty()) return {};
    std::error_code ec;
    const auto canonical = fs::canonical(found, ec);
    return ec ? found : canonical;
}

// The program an Exec line starts, skipping an "env VAR=value" prefix.
fs::path execProgram(std::string_view exec) {
    const auto args = splitExec(exec);
    std::size_t i = 0;
    if (i < args.size() && (args[i] == "env" || args[i] == "/usr/bin/env")) {
        ++i;
        while (i < args.size() && args[i].find('=') != std::string::npos) ++i;
    }
    return i < args.size() ? findInPath(args[i]) : fs::path();
}

// "de_DE.UTF-8@euro" -> keys to try, best first: de_DE@euro, de_DE, de@euro, de.
std::vector<std::string> localeKeys(std::string_view locale) {
    std::string_view modifier;
    if (const auto at = locale.find('@'); at != std::string_view::npos) {
        modifier = locale.substr(at);
        locale = locale.substr(0, at);
    }
    if (const auto dot = locale.find('.'); dot != std::string_view::npos) locale = locale.substr(0, dot);
    std::string_view lang = locale;
    std::string_view country;
    if (const auto us = locale.find('_'); us != std::string_view::npos) {
        lang = locale.substr(0, us);
        country = locale.substr(us);
    }
    std::vector<std::string> keys;
    if (lang.empty() || lang == "C" || lang == "POSIX") return keys;
    if (!country.empty() && !modifier.empty()) keys.push_back(std::string(lang) + std::string(country) + std::string(modifier));
    if (!country.empty()) keys.push_back(std::string(lang) + std::string(country));
    if (!modifier.empty()) keys.push_back(std::string(lang) + std::string(modifier));
    keys.push_back(std::string(lang));
    return keys;
}

std::string environmentLocale() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* v = std::getenv(var); v && *v) return v;
    return {};
}
}  // namespace

std::vector<fs::path> DesktopEntries::applicationDirectories() {
    std::vector<fs::path> dirs;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome == '/') {
        dirs.push_back(fs::path(dataHome) / "applications");
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        dirs.push_back(fs::path(home) / ".local/share/applications");
    }
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string_view list = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
    for (;;) {
        const auto colon = list.find(':');
        const std::string_view dir = list.substr(0, colon);
        if (!dir.empty() && dir.front() == '/') {
            const fs::path apps = fs::path(dir) / "applications";
            if (std::find(dirs.begin(), dirs.end(), apps) == dirs.end()) dirs.push_back(apps);
        }
        if (colon == std::string_view::npos) break;
        list.remove_prefix(colon + 1);
    }
    return dirs;
}

std::optional<std::string> DesktopEntries::idForRelativePath(const fs::path& relative) {
    std::string rel = relative.generic_string();
    constexpr std::string_view suffix = ".desktop";
    if (rel.size() <= suffix.size() || !rel.ends_with(suffix)) return std::nullopt;
    rel.resize(rel.size() - suffix.size());
    std::replace(rel.begin(), rel.end(), '/', '-');
    return rel;
}

std::optional<DesktopEntry> DesktopEntries::parse(std::string_view text, std::string id, std::string_view locale) {
    std::map<std::string, std::string, std::less<>> values;
    bool inMain = false, sawMain = false;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const std::string_view line = trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            // Keys of the main group count only before the next group; a repeated main group is ignored.
            inMain = line == "[Desktop Entry]" && !sawMain;
            sawMain = sawMain || inMain;
            continue;
        }
        if (!inMain) continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string key(trim(line.substr(0, eq)));
        values.try_emplace(key, std::string(trim(line.substr(eq + 1))));  // the first of a repeated key counts
    }
    const auto get = [&](std::string_view key) -> std::string {
        const auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    };
    if (!sawMain || get("Type") != "Application" || isTrue(get("Hidden"))) return std::nullopt;

    std::string name;
    for (const auto& key : localeKeys(locale)) {
        name = get("Name[" + key + "]");
        if (!name.empty()) break;
    }
    if (name.empty()) name = get("Name");
    if (name.empty()) return std::nullopt;

    DesktopEntry e;
    e.id = std::move(id);
    e.name = validUtf8(unescapeValue(name));
    e.icon = validUtf8(unescapeValue(get("Icon")));
    e.exec = validUtf8(unescapeValue(get("Exec")));
    e.program = execProgram(e.exec);
    e.startupWMClass = validUtf8(unescapeValue(get("StartupWMClass")));
    e.noDisplay = isTrue(get("NoDisplay"));
    return e;
}

DesktopEntries DesktopEntries::scan(const std::vector<fs::path>& directories, std::string locale) {
    if (locale.empty()) locale = environmentLocale();
    DesktopEntries result;
    std::set<std::string> seen;  // IDs decided by an earlier folder, including hidden ones
    for (const auto& dir : directories) {
        std::vector<std::pair<std::string, fs::path>> files;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
             !ec && it != end; it.increment(ec)) {
            if (it.depth() > 8) {  // a link loop or an absurd tree
                it.disable_recursion_pending();
                continue;
            }
            const auto id = idForRelativePath(it->path().lexically_relative(dir));
            if (id) files.emplace_back(*id, it->path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& [id, path] : files) {
            if (!seen.insert(id).second) continue;
            const auto text = readSmallFile(path);
            if (!text) continue;
            if (auto entry = parse(*text, id, locale)) {
                entry->file = path;
                result.entries_.push_back(std::move(*entry));
            }
        }
    }
    return result;
}

std::vector<DesktopEntry> DesktopEntries::applications() const {
    std::vector<DesktopEntry> shown;
    for (const auto& e : entries_)
        if (!e.noDisplay) shown.push_back(e);
    std::sort(shown.begin(), shown.end(), [](const DesktopEntry& a, const DesktopEntry& b) {
        const auto la = lower(a.name), lb = lower(b.name);
        return la != lb ? la < lb : a.id < b.id;
    });
    return shown;
}

const DesktopEntry* DesktopEntries::find(std::string_view id) const {
    for (const auto& e : entries_)
        if (e.id == id) return &e;
    return nullptr;
}

std::optional<std::string> DesktopEntries::applicationIDFor(const WindowIdentity& w) const {
    if (!w.gtkApplicationID.empty()) {
        if (find(w.gtkApplicationID)) return w.gtkApplicationID;
        for (const auto& e : entries_)
            if (equalsIgnoringCase(e.id, w.gtkApplicationID)) return e.id;
    }
    for (const auto& e : entries_)
        if (equalsIgnoringCase(e.startupWMClass, w.wmClass) || equalsIgnoringCase(e.startupWMClass, w.wmInstance))
            return e.id;
    for (const auto& e : entries_)
        if (equalsIgnoringCase(e.id, w.wmClass) || equalsIgnoringCase(e.id, w.wmInstance)) return e.id;
    if (!w.executable.empty()) {
        // Several entries may start the same program; one named after it is the likeliest owner.
        const DesktopEntry* byProgram = nullptr;
        for (const auto& e : entries_) {
            if (e.program.empty() || e.program != w.executable) continue;
            if (e.id == w.executable.filename().string()) return e.id;
            if (!byProgram) byProgram = &e;
        }
        if (byProgram) return byProgram->id;
    }
    if (!w.gtkApplicationID.empty()) return w.gtkApplicationID;
    if (!w.wmClass.empty()) return w.wmClass;
    if (!w.wmInstance.empty()) return w.wmInstance;
    if (!w.executable.empty() && !w.executable.filename().empty()) return w.executable.filename().string();
    return std::nullopt;
}

bool DesktopEntries::rescanIfChanged(const std::vector<fs::path>& directories, std::int64_t& stamp) {
    const auto now = directoriesStamp(directories);
    if (now == stamp) return false;
    stamp = now;
    *this = scan(directories);
    return true;
}

fs::path DesktopEntries::executableOf(std::int64_t pid) {
    if (pid <= 0) return {};
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? fs::path() : exe;
}

std::int64_t DesktopEntries::directoriesStamp(const std::vector<fs::path>& directories) {
    std::uint64_t stamp = 0;
    for (const auto& dir : directories) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) continue;
        stamp = stamp * 31 + std::uint64_t(st.st_mtim.tv_sec) * 1000000000u + std::uint64_t(st.st_mtim.tv_nsec);
    }
    return std::int64_t(stamp);
}
