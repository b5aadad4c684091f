// The app-lock page against a recording backend: adding through the chooser (answered by the
// dialog responder), grace changes, removal, the empty state and the window-control banner.
// Screenshots of the page's states go to the build folder.
#include "AppLock/AppLockModel.h"
#include "AppLock/AppLockRow.h"
#include "AppLock/AppLockView.h"
#include "AppLock/ApplicationChooserDialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <stdexcept>

#include "Common/DialogRunner.h"
#include "Localization/Localization.h"
#include "TestSupport.h"

namespace {
// Keeps the list as the store does: insertion order, one entry per ID, an existing entry unchanged.
class FakeBackend : public AppLockBackend {
public:
    std::vector<ProtectedApp> apps;
    WindowControl control = WindowControl::available;
    int reads = 0;
    int requests = 0;
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
};

const std::vector<InstalledApplication> installed = {
    {"org.gnome.gedit", "Text Editor", "accessories-text-editor"},
    {"firefox-esr", "Firefox ESR", "firefox-esr"},
    {"com.korvel.id", "Korvel ID", ""},
    {"org.example.NoIcon", "another tool", ""},
};

// Lets queued actions run and replaced row widgets go.
void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
        T* child = view->findChild<T*>(name);
        if (!child) throw std::runtime_error(name);
        return *child;
    }
    QList<AppLockRow*> rows() { return view->findChildren<AppLockRow*>(); }
    AppLockRow& row(const std::string& id) {
        for (auto* r : rows())
            if (r->app().bundleIdentifier == id) return *r;
        throw std::runtime_error(id);
    }
    bool showsEmptyState() { return find<QStackedWidget>("appLockContent").currentIndex() == 0; }
    // Runs "Add App…" with the chooser answered by selecting `ids` (or cancelling).
    int offered = -1;
    QString shotName;  // set: the chooser is saved as a screenshot
    void add(std::vector<std::string> ids, bool confirm = true) {
        DialogRunner::setResponder([&, ids](QDialog& dialog) {
            auto& chooser = dynamic_cast<ApplicationChooserDialog&>(dialog);
            offered = chooser.offeredCount();
            chooser.select(ids);
            if (!shotName.isEmpty()) {
                chooser.show();
                QTest::qWait(50);
                chooser.grab().save(QDir::current().filePath("screenshots/" + shotName + ".png"));
            }
            return confirm ? QDialog::Accepted : QDialog::Rejected;
        });
        find<QPushButton>("appLockAddButton").click();
        DialogRunner::setResponder({});
        settle();
    }
    void save(const char* name) {
        QDir dir(QDir::currentPath());
        dir.mkpath("screenshots");
        QTest::qWait(50);  // let the layout settle
        view->grab().save(dir.filePath(QString("screenshots/%1.png").arg(name)));
    }
};

class AppLockPage : public ::testing::Test {
protected:
    void SetUp() override { Localizer::shared().setLanguage(AppLanguage::english); }
};
}  // namespace

TEST_F(AppLockPage, ChooserAddsInListOrderUntilItQuitsAndNeverThisProgram) {
    Page page;
    page.view->show();
    EXPECT_TRUE(page.showsEmptyState());
    page.save("applock-empty");
    // Chosen out of order, and this program's ID sneaked in: only the two others, in the list's
    // (name) order, each "until it quits".
    page.shotName = "applock-chooser";
    page.add({"org.gnome.gedit", "com.korvel.id", "firefox-esr"});
    page.shotName.clear();
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
}

TEST_F(AppLockPage, GracePickerShowsStoredValueAndAppliesChoices) {
    Page page({{"firefox-esr", "Firefox ESR", 30}, {"org.gnome.gedit", "Text Editor", 120}});
    page.view->show();
    page.save("applock-rows");
    struct Case {
        const char* id;
        int shownIndex;  // -1: the stored value is not offered, nothing selected
    };
    for (const Case& c : {Case{"firefox-esr", 2}, Case{"org.gnome.gedit", -1}}) {
        auto* picker = page.row(c.id).findChild<QComboBox*>("appLockGracePicker");
        ASSERT_NE(picker, nullptr);
        EXPECT_EQ(picker->currentIndex(), c.shownIndex) << c.id;
    }
    // Choosing "Every time" on the unlisted one replaces its value.
    auto* picker = page.row("org.gnome.gedit").findChild<QComboBox*>("appLockGracePicker");
    ASSERT_NE(picker, nullptr);
    picker->setCurrentIndex(1);
    Q_EMIT picker->activated(1);
    settle();
    ASSERT_EQ(page.rows().size(), 2);
    EXPECT_EQ(page.backend->calls.back(), "grace org.gnome.gedit 0");
    EXPECT_EQ(page.backend->apps[1].graceSeconds, 0);
    auto* fresh = page.row("org.gnome.gedit").findChild<QComboBox*>("appLockGracePicker");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->currentIndex(), 1);
}

TEST_F(AppLockPage, GraceLabelsNameEveryValue) {
    EXPECT_EQ(AppLockModel::graceLabel(-7), AppLockModel::graceLabel(-1));
    EXPECT_NE(AppLockModel::graceLabel(0), AppLockModel::graceLabel(-1));
    for (std::int64_t n : {30, 60, 300, 86400}) {
        const QString text = AppLockModel::graceLabel(n);
        EXPECT_TRUE(text.contains(QString::number(n))) << text.toStdString();
        EXPECT_FALSE(text.contains('%')) << text.toStdString();
    }
}

TEST_F(AppLockPage, RemovingTheLastRowShowsTheEmptyState) {
    Page page({{"firefox-esr", "Firefox ESR", -1}});
    page.view->show();
    page.row("firefox-esr").findChild<QToolButton*>("appLockRemoveButton")->click();
    settle();
    EXPECT_EQ(page.backend->calls, std::vector<std::string>{"remove firefox-esr"});
    EXPECT_TRUE(page.showsEmptyState());
    EXPECT_TRUE(page.rows().isEmpty());
}

TEST_F(AppLockPage, BannerSaysWhyAndLeavesOnceWindowControlWorks) {
    struct Case {
        WindowControl control;
        const char* body;
    };
    for (const Case& c : {Case{WindowControl::waylandSession, "applock.waylandBody"},
                          Case{WindowControl::noWindowManager, "applock.x11Body"},
                          Case{WindowControl::noDisplay, "applock.x11Body"}}) {
        Page page({{"firefox-esr", "Firefox ESR", -1}}, c.control);
        page.view->show();
        EXPECT_TRUE(page.find<QWidget>("appLockBanner").isVisible()) << c.body;
        EXPECT_EQ(page.find<QLabel>("appLockBannerBody").text(), qL(c.body));
        if (c.control == WindowControl::waylandSession) page.save("applock-banner-wayland");
    }
    Page page({}, WindowControl::noWindowManager);
    page.view->show();
    EXPECT_TRUE(page.model().isPolling());
    page.find<QPushButton>("appLockGrantButton").click();
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
