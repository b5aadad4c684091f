#include "AppLock/ApplicationChooserDialog.h"

#include <QDialogButtonBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

#include "AppLock/AppLockModel.h"
#include "AppLock/AppLockSymbols.h"
#include "Localization/Localization.h"
#include "Support/AppPaths.h"

namespace {
constexpr int indexRole = Qt::UserRole + 1;
}

ApplicationChooserDialog::ApplicationChooserDialog(std::vector<InstalledApplication> applications, QWidget* parent)
    : QDialog(parent) {
    setObjectName("applicationChooserDialog");
    const std::string running = AppPaths::applicationIdentifier();
    std::erase_if(applications, [&](const InstalledApplication& app) {
        return app.id == AppLockModel::ownBundleID || app.id == running;
    });
    std::stable_sort(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
        return QString::fromStdString(a.name).compare(QString::fromStdString(b.name), Qt::CaseInsensitive) < 0;
    });
    applications_ = std::move(applications);

    items_ = new QStandardItemModel(this);
    for (std::size_t i = 0; i < applications_.size(); ++i) {
        const auto& app = applications_[i];
        auto* item = new QStandardItem(AppLockSymbols::applicationIcon(app.icon), QString::fromStdString(app.name));
        // A tooltip is read as markup when it looks like it: the ID (a file's name) goes escaped.
        item->setToolTip(Qt::convertFromPlainText(QString::fromStdString(app.id)));
        item->setData(static_cast<int>(i), indexRole);
        item->setEditable(false);
        items_->appendRow(item);
    }
    filtered_ = new QSortFilterProxyModel(this);
    filtered_->setSourceModel(items_);
    filtered_->setFilterCaseSensitivity(Qt::CaseInsensitive);

    search_ = new QLineEdit(this);
    search_->setObjectName("applicationChooserSearch");
    search_->setClearButtonEnabled(true);
    connect(search_, &QLineEdit::textChanged, filtered_, &QSortFilterProxyModel::setFilterFixedString);
    list_ = new QListView(this);
    list_->setObjectName("applicationChooserList");
    list_->setModel(filtered_);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setIconSize(QSize(24, 24));
    list_->setUniformItemSizes(true);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ApplicationChooserDialog::updateConfirm);
    connect(list_, &QListView::doubleClicked, this, &QDialog::accept);
    // Our own buttons, not standard ones: Qt relabels those ("OK") when its translations change
    // with the language, and gives them the theme's full-colour icons.
    buttons_ = new QDialogButtonBox(this);
    confirm_ = buttons_->addButton(QString(), QDialogButtonBox::AcceptRole);
    confirm_->setObjectName("applicationChooserConfirm");
    cancel_ = buttons_->addButton(QString(), QDialogButtonBox::RejectRole);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(search_);
    layout->addWidget(list_);
    layout->addWidget(buttons_);
    resize(420, 480);
    retranslate();
    updateConfirm();
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &ApplicationChooserDialog::retranslate);
}

void ApplicationChooserDialog::retranslate() {
    setWindowTitle(qL("applock.chooserTitle"));
    search_->setPlaceholderText(qL("applock.searchApps"));
    confirm_->setText(qL("applock.addPanelPrompt"));
    cancel_->setText(qL("common.cancel"));
}

void ApplicationChooserDialog::updateConfirm() {
    confirm_->setEnabled(list_->selectionModel()->hasSelection());
}

std::vector<InstalledApplication> ApplicationChooserDialog::chosen() const {
    std::vector<int> rows;
    for (const QModelIndex& index : list_->selectionModel()->selectedIndexes())
        rows.push_back(index.data(indexRole).toInt());
    std::sort(rows.begin(), rows.end());
    std::vector<InstalledApplication> result;
    for (int row : rows) result.push_back(applications_[static_cast<std::size_t>(row)]);
    return result;
}

void ApplicationChooserDialog::select(const std::vector<std::string>& ids) {
    search_->clear();
    QItemSelection selection;
    for (int row = 0; row < filtered_->rowCount(); ++row) {
        const QModelIndex index = filtered_->index(row, 0);
        const auto& app = applications_[static_cast<std::size_t>(index.data(indexRole).toInt())];
        if (std::find(ids.begin(), ids.end(), app.id) != ids.end()) selection.select(index, index);
    }
    list_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

int ApplicationChooserDialog::offeredCount() const { return static_cast<int>(applications_.size()); }
