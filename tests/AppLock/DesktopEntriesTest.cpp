#include <gtest/gtest.h>

#include "Platform/DesktopEntries.h"
#include "TestSupport.h"

using TestSupport::TempDir;
namespace fs = std::filesystem;

namespace {
std::string entry(const std::string& body) { return "[Desktop Entry]\nType=Application\n" + body; }

fs::path xtermProgram() {
    std::error_code ec;
    return fs::canonical("/usr/bin/xterm", ec);
}
}  // namespace

TEST(DesktopEntries, ParsesTheFieldsPeopleAndWindowsNeed) {
    const auto e = DesktopEntries::parse(
        "# comment\n[Desktop Entry]\nName=Files\nName[de]=Dateien\nName[de_AT]=Dateien AT\n"
        "Type=Application\nIcon=system-file-manager\nExec=env GTK_DEBUG=1 \"/usr/bin/xterm\" -class \"My\\\\sClass\"\n"
        "StartupWMClass=Nautilus\nNoDisplay=true\nName=Ignored repeat\n[Desktop Action new]\nName=New Window\nExec=other\n",
        "org.gnome.Nautilus", "de_DE.UTF-8");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, "org.gnome.Nautilus");
    EXPECT_EQ(e->name, "Dateien");
    EXPECT_EQ(e->icon, "system-file-manager");
    EXPECT_EQ(e->startupWMClass, "Nautilus");
    EXPECT_TRUE(e->noDisplay);
    if (!xtermProgram().empty()) {
        EXPECT_EQ(e->program, xtermProgram());
    }

    struct Case {
        const char* what;
        std::string text, locale;
        std::optional<std::string> name;
    };
    const std::vector<Case> cases = {
        {"country match first", entry("Name=A\nName[de]=B\nName[de_AT]=C\n"), "de_AT.UTF-8", "C"},
        {"modifier", entry("Name=A\nName[sr@latin]=B\n"), "sr_RS@latin", "B"},
        {"C locale", entry("Name=A\nName[de]=B\n"), "C", "A"},
        {"escapes", entry("Name=Tab\\there\\sand\\\\\n"), "", "Tab\there and\\"},
        {"broken UTF-8 is mended", entry("Name=Caf\xC3\n"), "", "Caf\xEF\xBF\xBD"},
        {"hidden", entry("Name=A\nHidden=true\n"), "", std::nullopt},
        {"a link, not an application", "[Desktop Entry]\nType=Link\nName=A\nURL=http://x\n", "", std::nullopt},
        {"no name", entry("Exec=a\n"), "", std::nullopt},
        {"keys outside the main group", "[Other]\nType=Application\nName=A\n", "", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = DesktopEntries::parse(c.text, "x", c.locale);
        EXPECT_EQ(parsed ? std::optional(parsed->name) : std::nullopt, c.name) << c.what;
    }
}

TEST(DesktopEntries, ScanPrefersEarlierFoldersAndNamesSubfolderEntries) {
    TempDir home, system;
    const auto write = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        TestSupport::writeText(file, text);
    };
    write(home / "mine.desktop", entry("Name=Mine\n"));
    write(home / "gone.desktop", entry("Name=Gone\nHidden=true\n"));
    write(system / "mine.desktop", entry("Name=System copy\n"));
    write(system / "gone.desktop", entry("Name=Should stay hidden\n"));
    write(system / "kde4/okular.desktop", entry("Name=Okular\n"));
    write(system / "zz.desktop", entry("Name=aardvark\n"));
    write(system / "menu.desktop", entry("Name=Menu helper\nNoDisplay=true\n"));
    write(system / "notes.txt", entry("Name=Not an entry\n"));
    // A pipe carrying an entry's name must not stall the scan.
    TestSupport::makeFifo(system / "pipe.desktop");

    const auto entries = DesktopEntries::scan({home.path(), system.path()}, "C");
    std::vector<std::string> ids;
    for (const auto& e : entries.entries()) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"mine", "kde4-okular", "menu", "zz"}));
    EXPECT_EQ(entries.find("mine")->name, "Mine");
    EXPECT_EQ(entries.find("gone"), nullptr);

    std::vector<std::string> shown;
    for (const auto& e : entries.applications()) shown.push_back(e.name);
    EXPECT_EQ(shown, (std::vector<std::string>{"aardvark", "Mine", "Okular"}));
}

TEST(DesktopEntries, ApplicationDirectoriesFollowXdgVariables) {
    {
        TestSupport::ScopedEnv env{{"XDG_DATA_HOME", "/h"}, {"XDG_DATA_DIRS", "/a::relative:/b:/a"}};
        EXPECT_EQ(DesktopEntries::applicationDirectories(),
                  (std::vector<fs::path>{"/h/applications", "/a/applications", "/b/applications"}));
    }
    TestSupport::ScopedEnv noDirs{{"XDG_DATA_DIRS", std::nullopt}};
    EXPECT_EQ(DesktopEntries::applicationDirectories().back(), fs::path("/usr/share/applications"));
}

TEST(DesktopEntries, WindowsResolveInTheDocumentedOrder) {
    TempDir dir;
    TestSupport::writeText(dir / "org.gnome.Nautilus.desktop", entry("Name=Files\nStartupWMClass=Nautilus\nExec=nautilus\n"));
    TestSupport::writeText(dir / "firefox-esr.desktop", entry("Name=Firefox\nStartupWMClass=Firefox-esr\nExec=firefox-esr %u\n"));
    TestSupport::writeText(dir / "gimp.desktop", entry("Name=GIMP\nExec=gimp-2.10\n"));
    TestSupport::writeText(dir / "a-term.desktop", entry("Name=A terminal\nExec=/usr/bin/xterm -class A\n"));
    TestSupport::writeText(dir / "xterm.desktop", entry("Name=XTerm\nExec=xterm\n"));
    const auto entries = DesktopEntries::scan({dir.path()}, "C");
    const auto xterm = xtermProgram();

    struct Case {
        const char* what;
        WindowIdentity window;
        std::optional<std::string> id;
    };
    const std::vector<Case> cases = {
        {"GTK ID naming an entry wins", {"org.gnome.Nautilus", "firefox-esr", "Firefox-esr", xterm}, "org.gnome.Nautilus"},
        {"GTK ID ignoring case", {"ORG.GNOME.NAUTILUS", "", "", ""}, "org.gnome.Nautilus"},
        {"unknown GTK ID falls through", {"org.example.Unknown", "", "Nautilus", ""}, "org.gnome.Nautilus"},
        {"class vs StartupWMClass", {"", "Navigator", "firefox-ESR", ""}, "firefox-esr"},
        {"instance vs StartupWMClass", {"", "nautilus", "Other", ""}, "org.gnome.Nautilus"},
        {"StartupWMClass before an ID match", {"", "gimp", "Nautilus", ""}, "org.gnome.Nautilus"},
        {"class vs ID", {"", "gimp-2.10", "Gimp", ""}, "gimp"},
        {"program vs Exec, named entry preferred", {"", "x", "UnknownClass", xterm}, xterm.empty() ? std::optional<std::string>("UnknownClass") : "xterm"},
        {"nothing matches: GTK ID", {"org.example.Unknown", "inst", "Cls", "/opt/tool"}, "org.example.Unknown"},
        {"nothing matches: class", {"", "inst", "Cls", "/opt/tool"}, "Cls"},
        {"nothing matches: instance", {"", "inst", "", "/opt/tool"}, "inst"},
        {"nothing matches: program name", {"", "", "", "/opt/tool"}, "tool"},
        {"nothing known", {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(entries.applicationIDFor(c.window), c.id) << c.what;
}
