// The app-lock page against a recording backend: adding through the chooser (answered by the
// dialog responder), grace changes, removal, the empty state and the window-control banner.
#include "AppLock/AppLockModel.h"
#include "AppLock/AppLockRow.h"
#include "AppLock/AppLockSymbols.h"
#include "AppLock/AppLockView.h"
#include "AppLock/ApplicationChooserDialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>

#include <algorithm>
#include <stdexcept>

#include "Common/DialogRunner.h"
#include "Identity/CredentialGate.h"
#include "Localization/Localization.h"
#include "Support/Async.h"
#include "TestSupport.h"
#include "TextFits.h"

namespace {
// Keeps the list as the store does: insertion order, one entry per ID, an existing entry unchanged.
class FakeBackend : public AppLockBackend {
public:
    std::vector<ProtectedApp> apps;
    WindowControl control = WindowControl::available;
    int reads = 0, requests = 0;
    std::vector<std::string> calls;

    std::vector<ProtectedApp> protectedApps() const override {
        ++const_cast<FakeBackend*>(this)->reads;
        return apps;
    }
    void add(const ProtectedApp& app) override {
        calls.push_back("add " + app.bundleIdentifier);
        if (std::none_of(apps.begin(), apps.end(), [&](auto& a) { return a.bundleIdentifier == app.bundleIdentifier; }))
            apps.push_back(app);
    }
    void remove(const std::string& id) override {
        calls.push_back("remove " + id);
        std::erase_if(apps, [&](auto& a) { return a.bundleIdentifier == id; });
    }
    void setGrace(std::int64_t seconds, const std::string& id) override {
        calls.push_back("grace " + id + " " + std::to_string(seconds));
        for (auto& a : apps)
            if (a.bundleIdentifier == id) a.graceSeconds = seconds;
    }
    WindowControl windowControl() const override { return control; }
    void requestWindowControl() override { ++requests; }
    WindowIntegration integration() const override { return integrationInUse; }
    WindowIntegration integrationInUse = WindowIntegration::x11;
    bool keepsIconified = false, saved = true;
    bool isListSaved() const override { return saved; }
    bool keepsLockedAppsIconified() const override { return keepsIconified; }
    void setKeepsLockedAppsIconified(bool on) override { keepsIconified = on; }
};

const std::vector<InstalledApplication> installed = {
    {"org.gnome.gedit", "Text Editor", "accessories-text-editor"},
    {"firefox-esr", "Firefox ESR", "firefox-esr"},
    {"com.korvel.id", "Korvel ID", ""},
    {"org.example.NoIcon", "another tool", ""},
};

// Lets queued actions (and the credential check's answer) run and replaced row widgets go.
void settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

struct Page {
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::unique_ptr<AppLockView> view;
    explicit Page(std::vector<ProtectedApp> apps = {}, WindowControl control = WindowControl::available) {
        backend->apps = std::move(apps);
        backend->control = control;
        view = std::make_unique<AppLockView>(backend, [] { return installed; });
        view->resize(560, 460);
    }
    AppLockModel& model() { return *view->model(); }
    template <typename T>
    T& find(const char* name) {
        T* found = TestSupport::child<T>(*view, name);
        if (!found) throw std::runtime_error(name);
        return *found;
    }
    QList<AppLockRow*> rows() { return view->findChildren<AppLockRow*>(); }
    AppLockRow& row(const std::string& id) {
        for (auto* r : rows())
            if (r->app().bundleIdentifier == id) return *r;
        throw std::runtime_error(id);
    }
    QComboBox& picker(const std::string& id) {
        auto* p = row(id).findChild<QComboBox*>("appLockGracePicker");
        if (!p) throw std::runtime_error(id);
        return *p;
    }
    bool showsEmptyState() { return find<QStackedWidget>("appLockContent").currentIndex() == 0; }
    // Runs "Add App…" with the chooser answered by selecting `ids` (or cancelling).
    int offered = -1;
    void add(std::vector<std::string> ids, bool confirm = true) {
        DialogRunner::setResponder([&, ids](QDialog& dialog) {
            auto& chooser = dynamic_cast<ApplicationChooserDialog&>(dialog);
            offered = chooser.offeredCount();
            chooser.select(ids);
            return confirm ? QDialog::Accepted : QDialog::Rejected;
        });
        find<QPushButton>("appLockAddButton").click();
        DialogRunner::setResponder({});
        settle();
    }
};

// The credential check is scripted: `outcome` answers every change that asks.
class AppLockPage : public ::testing::Test {
protected:
    void SetUp() override {
        CredentialGate::setConfirmer([this](CredentialGate::Change change) {
            asked.push_back(change);
            return Async::ready(outcome);
        });
    }
    void TearDown() override { CredentialGate::setConfirmer({}); }
    TestSupport::ScopedLanguage english_{AppLanguage::english};
    CredentialGate::Outcome outcome = CredentialGate::Outcome::allowed;
    std::vector<CredentialGate::Change> asked;
};
}  // namespace

TEST_F(AppLockPage, ChooserAddsInListOrderUntilItQuitsAndNeverThisProgram) {
    Page page;
    page.view->show();
    EXPECT_TRUE(page.showsEmptyState());
    // Chosen out of order, and this program's ID sneaked in: only the two others, in the list's
    // (name) order, each "until it quits".
    page.add({"org.gnome.gedit", "com.korvel.id", "firefox-esr"});
    EXPECT_EQ(page.offered, 3) << "this program is not offered";
    EXPECT_EQ(page.backend->calls, (std::vector<std::string>{"add firefox-esr", "add org.gnome.gedit"}));
    EXPECT_EQ(page.backend->apps, (std::vector<ProtectedApp>{{"firefox-esr", "Firefox ESR", -1},
                                                             {"org.gnome.gedit", "Text Editor", -1}}));
    EXPECT_FALSE(page.showsEmptyState());
    EXPECT_EQ(page.rows().size(), 2);

    // Adding again changes nothing; cancelling adds nothing and does not even read the list.
    page.add({"firefox-esr"});
    EXPECT_EQ(page.backend->apps.size(), 2u);
    EXPECT_EQ(page.backend->apps[0].graceSeconds, -1);
    const int reads = page.backend->reads;
    page.add({"org.example.NoIcon"}, false);
    EXPECT_EQ(page.backend->apps.size(), 2u);
    EXPECT_EQ(page.backend->reads, reads);

    // Entries without an ID are skipped; one without a name is listed under its ID.
    page.model().addApps({{"", "No ID", ""}, {"org.example.A", "", ""}});
    EXPECT_EQ(page.backend->apps.back(), (ProtectedApp{"org.example.A", "org.example.A", -1}));
    EXPECT_EQ(page.backend->apps.size(), 3u);

    auto* notSaved = page.view->findChild<QLabel*>("appLockNotSaved");
    EXPECT_TRUE(notSaved->isHidden());
    page.backend->saved = false;
    page.model().addApps({{"org.example.B", "B", ""}});
    EXPECT_FALSE(notSaved->isHidden());
    TextFits::expectFitsInEveryLanguage(*page.view, "settings-applock-not-saved");
    page.backend->saved = true;
    page.add({"firefox-esr"});  // saved again, the list as it was
    EXPECT_TRUE(notSaved->isHidden());
}

TEST_F(AppLockPage, GracePickerShowsStoredValueAndAppliesChoices) {
    Page page({{"firefox-esr", "Firefox ESR", 30}, {"org.gnome.gedit", "Text Editor", 120}});
    page.view->show();
    EXPECT_EQ(page.picker("firefox-esr").currentIndex(), 2);
    EXPECT_EQ(page.picker("org.gnome.gedit").currentIndex(), -1) << "a value not offered: nothing selected";
    // Choosing "Every time" on the unlisted one replaces its value.
    page.picker("org.gnome.gedit").setCurrentIndex(1);
    Q_EMIT page.picker("org.gnome.gedit").activated(1);
    settle();
    ASSERT_EQ(page.rows().size(), 2);
    EXPECT_EQ(page.backend->calls.back(), "grace org.gnome.gedit 0");
    EXPECT_EQ(page.backend->apps[1].graceSeconds, 0);
    EXPECT_EQ(page.picker("org.gnome.gedit").currentIndex(), 1) << "the new row shows it";
    EXPECT_EQ(asked, std::vector<CredentialGate::Change>{CredentialGate::Change::changeGrace});

    // Refused: the stored grace stays and the picker shows it again.
    outcome = CredentialGate::Outcome::refused;
    page.picker("org.gnome.gedit").setCurrentIndex(0);
    Q_EMIT page.picker("org.gnome.gedit").activated(0);
    settle();
    EXPECT_EQ(page.backend->apps[1].graceSeconds, 0);
    EXPECT_EQ(page.picker("org.gnome.gedit").currentIndex(), 1);

    // Keeping locked apps minimized: on at once, off only when the credential allows it.
    auto& keep = page.find<QCheckBox>("appLockKeepIconified");
    keep.click();
    EXPECT_TRUE(page.backend->keepsIconified && keep.isChecked());
    keep.click();
    settle();
    EXPECT_TRUE(page.backend->keepsIconified && keep.isChecked()) << "refused";
    outcome = CredentialGate::Outcome::allowed;
    keep.click();
    settle();
    EXPECT_FALSE(page.backend->keepsIconified || keep.isChecked());
    EXPECT_EQ(asked.back(), CredentialGate::Change::showLockedApps);
}

TEST_F(AppLockPage, RowsShowNameAndIDAsWrittenNeverAsMarkup) {
    const std::string markup = "<img width=9000>";  // from a desktop entry or the stored list
    Page page({{markup, markup, 30}});
    for (const char* name : {"appLockRowName", "appLockRowID"}) {
        const auto* label = page.row(markup).findChild<QLabel*>(name);
        ASSERT_TRUE(label && label->text().toStdString() == markup) << name;
        EXPECT_LT(label->minimumSizeHint().width(), 2000) << name;
    }
}

TEST(AppLockSymbols, AnIconPathIsReadWithoutWaitingAndThroughLinks) {
    TestSupport::TempDir dir;
    QImage red(16, 16, QImage::Format_RGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString((dir.path() / "red.png").string())));
    std::filesystem::create_symlink(dir.path() / "red.png", dir.path() / "link.png");  // as packages install them
    const QImage shown = AppLockSymbols::applicationIcon((dir.path() / "link.png").string()).pixmap(28, 28).toImage();
    EXPECT_EQ(shown.pixelColor(14, 14), QColor(Qt::red));
    TestSupport::makeFifo(dir.path() / "pipe.png");  // a desktop entry's Icon= may name anything
    EXPECT_TRUE(TestSupport::finishesWithin([&] { AppLockSymbols::applicationIcon((dir.path() / "pipe.png").string()); },
                                            dir.path() / "pipe.png"));

    // What would still hold the GUI thread gives the placeholder: an SVG drawing the pipe in, a theme
    // name that climbs out of the theme, a small file of a huge image.
    const QImage placeholder = AppLockSymbols::placeholderApp().pixmap(28, 28).toImage();
    TestSupport::writeText(dir.path() / "drawn.svg",
                           "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' width='16' "
                           "height='16'><image width='16' height='16' xlink:href='" + (dir.path() / "pipe.png").string() + "'/></svg>");
    QImage huge(3000, 3000, QImage::Format_RGB32);
    huge.fill(Qt::red);
    ASSERT_TRUE(huge.save(QString::fromStdString((dir.path() / "huge.png").string())));
    for (const std::string& icon : {(dir.path() / "drawn.svg").string(), "../../../" + (dir.path() / "red").string(),
                                   (dir.path() / "huge.png").string()}) {
        QImage drawn;
        EXPECT_TRUE(TestSupport::finishesWithin([&] { drawn = AppLockSymbols::applicationIcon(icon).pixmap(28, 28).toImage(); },
                                                dir.path() / "pipe.png")) << icon;
        EXPECT_EQ(drawn, placeholder) << icon;
    }
}

TEST_F(AppLockPage, BannerSaysWhyAndLeavesOnceWindowControlWorks) {
    struct Case {
        WindowControl control;
        const char* body;
    };
    for (const Case& c : {Case{WindowControl::waylandSession, "applock.waylandBody"},
                          Case{WindowControl::gnomeExtensionMissing, "applock.gnomeBody"},
                          Case{WindowControl::noWindowManager, "applock.x11Body"},
                          Case{WindowControl::noDisplay, "applock.x11Body"}}) {
        Page page({{"firefox-esr", "Firefox ESR", -1}}, c.control);
        page.view->show();
        EXPECT_TRUE(page.find<QWidget>("appLockBanner").isVisible()) << c.body;
        EXPECT_EQ(page.find<QLabel>("appLockBannerBody").text(), qL(c.body));
        EXPECT_FALSE(page.find<QLabel>("appLockIntegration").isVisible()) << "nothing is covered: no integration named";
    }
    // With window control the page names the integration in use, in the page's language.
    for (const auto& [integration, key, language] :
         {std::tuple{WindowIntegration::x11, "applock.integrationX11", AppLanguage::english},
          std::tuple{WindowIntegration::sway, "applock.integrationSway", AppLanguage::german},
          std::tuple{WindowIntegration::kwin, "applock.integrationKWin", AppLanguage::turkish},
          std::tuple{WindowIntegration::gnomeShell, "applock.integrationGnome", AppLanguage::french}}) {
        Page page({{"firefox-esr", "Firefox ESR", -1}});
        page.backend->integrationInUse = integration;
        TestSupport::ScopedLanguage inLanguage{language};
        page.view->show();
        EXPECT_FALSE(page.find<QWidget>("appLockBanner").isVisible());
        EXPECT_EQ(page.find<QLabel>("appLockIntegration").text(), qL(key));
        EXPECT_TRUE(page.find<QLabel>("appLockIntegration").isVisible());
    }
    Page page({}, WindowControl::noWindowManager);
    page.view->show();
    EXPECT_TRUE(page.model().isPolling());
    page.find<QPushButton>("appLockRecheckButton").click();
    EXPECT_EQ(page.backend->requests, 1);
    page.backend->control = WindowControl::available;
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !page.find<QWidget>("appLockBanner").isVisible(); }, 2500))
        << "the poll notices within about a second";
    EXPECT_FALSE(page.model().isPolling());

    // Hidden, the page stops polling; "Re-check" updates at once.
    Page hidden({}, WindowControl::noWindowManager);
    hidden.view->show();
    hidden.view->hide();
    EXPECT_FALSE(hidden.model().isPolling());
    hidden.backend->control = WindowControl::available;
    hidden.view->show();
    hidden.find<QPushButton>("appLockRecheckButton").click();
    EXPECT_FALSE(hidden.find<QWidget>("appLockBanner").isVisible());
}
