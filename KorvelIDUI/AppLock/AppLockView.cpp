#include "AppLock/AppLockView.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include <algorithm>

#include "AppLock/AppLockModel.h"
#include "AppLock/AppLockRow.h"
#include "AppLock/AppLockSymbols.h"
#include "AppLock/ApplicationChooserDialog.h"
#include "Auth/KeyringLockedNotice.h"
#include "Common/DialogRunner.h"
#include "Localization/Localization.h"

namespace {
QLabel* label(const char* objectName, QWidget* parent, bool wrap = false) {
    auto* l = new QLabel(parent);
    l->setObjectName(objectName);
    l->setWordWrap(wrap);
    return l;
}

// The rows are widgets placed over the list's items; the items themselves only reserve the space.
class RowSpaceDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter*, const QStyleOptionViewItem&, const QModelIndex&) const override {}
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return {0, 46}; }
};

void scaleFont(QWidget* w, double factor, bool bold = false) {
    QFont f = w->font();
    f.setPointSizeF(f.pointSizeF() * factor);
    f.setBold(bold);
    w->setFont(f);
}
}  // namespace

AppLockView::AppLockView(QWidget* parent) : AppLockView(facadeAppLockBackend(), installedApplications, parent) {}

AppLockView::AppLockView(std::shared_ptr<AppLockBackend> backend, InstalledApplicationsProvider installed,
                         QWidget* parent)
    : QWidget(parent), installed_(std::move(installed)) {
    setObjectName("appLockView");
    model_ = new AppLockModel(std::move(backend), this);
    if (installed_) knownApplications_ = installed_();

    content_ = new QStackedWidget(this);
    content_->setObjectName("appLockContent");
    content_->addWidget(buildEmptyState());
    list_ = new QListView(this);
    list_->setObjectName("appLockList");
    list_->setModel(model_);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setFocusPolicy(Qt::NoFocus);
    list_->setSpacing(2);
    list_->setItemDelegate(new RowSpaceDelegate(list_));
    content_->addWidget(list_);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    footer_ = label("appLockFooter", this, true);
    footer_->setForegroundRole(QPalette::PlaceholderText);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->addWidget(buildHeader());
    layout->addWidget(buildBanner());
    integration_ = label("appLockIntegration", this, true);
    scaleFont(integration_, 0.88);
    integration_->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(integration_);
    layout->addWidget(content_, 1);
    layout->addWidget(divider);
    // Made after the header, so it comes after "Add App…" in the tab order.
    keepIconified_ = new QCheckBox(this);
    keepIconified_->setObjectName("appLockKeepIconified");
    keepIconified_->setChecked(model_->keepsLockedAppsIconified());
    connect(keepIconified_, &QCheckBox::toggled, model_, [this](bool on) {
        // Stays on until the credential allows turning it off.
        const QSignalBlocker quiet(keepIconified_);
        keepIconified_->setChecked(true);
        model_->setKeepsLockedAppsIconified(on);
    });
    connect(model_, &AppLockModel::keepsLockedAppsIconifiedChanged, this, [this] {
        const QSignalBlocker quiet(keepIconified_);
        keepIconified_->setChecked(model_->keepsLockedAppsIconified());
    });
    keepIconifiedHint_ = label("appLockKeepIconifiedHint", this, true);
    keepIconifiedHint_->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(keepIconified_);
    layout->addWidget(keepIconifiedHint_);
    notSaved_ = label("appLockNotSaved", this, true);
    layout->addWidget(notSaved_);
    layout->addWidget(footer_);

    connect(model_, &QAbstractItemModel::modelReset, this, &AppLockView::rebuildRows);
    connect(model_, &AppLockModel::hasWindowControlChanged, this, &AppLockView::updateBanner);
    connect(model_, &AppLockModel::isListSavedChanged, this, [this] { notSaved_->setVisible(!model_->isListSaved()); });
    connect(model_, &AppLockModel::keyringLocked, this, [this] { KeyringLockedNotice::show(this); });
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &AppLockView::retranslate);
    notSaved_->setVisible(!model_->isListSaved());
    retranslate();
    rebuildRows();
    updateBanner();
}

QWidget* AppLockView::buildHeader() {
    auto* header = new QWidget(this);
    title_ = label("appLockTitle", header);
    scaleFont(title_, 1.15, true);
    addButton_ = new QPushButton(AppLockSymbols::add(), QString(), header);
    addButton_->setObjectName("appLockAddButton");
    connect(addButton_, &QPushButton::clicked, this, &AppLockView::addApps);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title_);
    layout->addStretch();
    layout->addWidget(addButton_);
    return header;
}

QWidget* AppLockView::buildBanner() {
    banner_ = new QFrame(this);
    banner_->setObjectName("appLockBanner");
    banner_->setStyleSheet("QFrame#appLockBanner { background: rgba(10, 132, 255, 22); border: 1px solid "
                           "rgba(10, 132, 255, 70); border-radius: 8px; }");
    auto* icon = label("appLockBannerIcon", banner_);
    icon->setPixmap(AppLockSymbols::shield().pixmap(28, 28));
    icon->setAlignment(Qt::AlignTop);
    bannerTitle_ = label("appLockBannerTitle", banner_, true);
    scaleFont(bannerTitle_, 0.95, true);
    bannerBody_ = label("appLockBannerBody", banner_, true);
    scaleFont(bannerBody_, 0.88);
    bannerBody_->setForegroundRole(QPalette::PlaceholderText);
    // Nothing can be granted here: the one button looks again, as its name says.
    recheckButton_ = new QPushButton(banner_);
    recheckButton_->setObjectName("appLockRecheckButton");
    connect(recheckButton_, &QPushButton::clicked, model_, &AppLockModel::checkAgain);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(recheckButton_);
    buttons->addStretch();
    auto* text = new QVBoxLayout;
    text->addWidget(bannerTitle_);
    text->addWidget(bannerBody_);
    text->addLayout(buttons);
    auto* layout = new QHBoxLayout(banner_);
    layout->addWidget(icon);
    layout->addLayout(text, 1);
    return banner_;
}

QWidget* AppLockView::buildEmptyState() {
    auto* empty = new QWidget(this);
    empty->setObjectName("appLockEmptyState");
    auto* symbol = label("appLockEmptySymbol", empty);
    symbol->setPixmap(AppLockSymbols::emptyState().pixmap(64, 64));
    symbol->setAlignment(Qt::AlignCenter);
    emptyTitle_ = label("appLockEmptyTitle", empty);
    emptyTitle_->setAlignment(Qt::AlignCenter);
    scaleFont(emptyTitle_, 1.1, true);
    emptyHint_ = label("appLockEmptyHint", empty, true);
    emptyHint_->setAlignment(Qt::AlignCenter);
    emptyHint_->setForegroundRole(QPalette::PlaceholderText);
    auto* layout = new QVBoxLayout(empty);
    layout->addStretch();
    layout->addWidget(symbol);
    layout->addWidget(emptyTitle_);
    layout->addWidget(emptyHint_);
    layout->addStretch();
    return empty;
}

void AppLockView::retranslate() {
    title_->setText(qL("applock.lockedApps"));
    addButton_->setText(qL("applock.addApp"));
    recheckButton_->setText(qL("applock.recheck"));
    emptyTitle_->setText(qL("applock.noApps"));
    emptyHint_->setText(qL("applock.noAppsHint"));
    footer_->setText(qL("applock.footer"));
    keepIconified_->setText(qL("applock.keepMinimized"));
    keepIconifiedHint_->setText(qL("applock.keepMinimizedHint"));
    notSaved_->setText(qL("applock.notSaved"));
    updateBanner();
}

void AppLockView::updateBanner() {
    const auto why = model_->unavailability();
    banner_->setVisible(why != AppLockModel::Unavailability::none);
    const bool wayland = why == AppLockModel::Unavailability::waylandSession;
    const bool gnome = why == AppLockModel::Unavailability::gnomeExtension;
    bannerTitle_->setText(qL(gnome ? "applock.gnomeTitle" : wayland ? "applock.waylandTitle" : "applock.x11Title"));
    bannerBody_->setText(qL(gnome ? "applock.gnomeBody" : wayland ? "applock.waylandBody" : "applock.x11Body"));
    integration_->setText(model_->integrationText());
    integration_->setVisible(!integration_->text().isEmpty());
}

void AppLockView::rebuildRows() {
    content_->setCurrentIndex(model_->rowCount() == 0 ? 0 : 1);
    for (int row = 0; row < model_->rowCount(); ++row) {
        const ProtectedApp& app = model_->apps()[static_cast<std::size_t>(row)];
        const auto known = std::find_if(knownApplications_.begin(), knownApplications_.end(),
                                        [&](const auto& installed) { return installed.id == app.bundleIdentifier; });
        auto* widget = new AppLockRow(app, AppLockSymbols::applicationIcon(known == knownApplications_.end() ? "" : known->icon));
        const std::string id = app.bundleIdentifier;
        connect(widget, &AppLockRow::graceChangeRequested, model_,
                [m = model_, id](std::int64_t seconds) { m->setGrace(id, seconds); }, Qt::QueuedConnection);
        connect(widget, &AppLockRow::removeRequested, model_, [m = model_, id] { m->remove(id); }, Qt::QueuedConnection);
        list_->setIndexWidget(model_->index(row), widget);
    }
}

void AppLockView::addApps() {
    if (installed_) knownApplications_ = installed_();
    ApplicationChooserDialog chooser(knownApplications_, this);
    if (DialogRunner::exec(chooser) != QDialog::Accepted) return;
    model_->addApps(chooser.chosen());
}

void AppLockView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_->refresh();
    model_->startPolling();
}

void AppLockView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    model_->stopPolling();
}

