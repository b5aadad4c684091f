#include "Vault/VaultView.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "Common/DialogRunner.h"
#include "Common/SymbolIcon.h"
#include "Localization/Localization.h"
#include "Vault/VaultListView.h"
#include "Vault/VaultModel.h"
#include "Vault/VaultRowDelegate.h"

namespace {
QLabel* iconLabel(const char* symbol, int size) {
    auto* label = new QLabel;
    label->setPixmap(SymbolIcon::pixmap(QString::fromLatin1(symbol), size));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QLabel* titleLabel(const char* objectName) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(objectName));
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    font.setBold(true);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QLabel* bodyLabel(const char* objectName) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(objectName));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setFixedWidth(380);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QPushButton* largeButton(const char* objectName, const char* symbol) {
    auto* button = new QPushButton;
    button->setObjectName(QString::fromLatin1(objectName));
    button->setIcon(SymbolIcon::icon(QString::fromLatin1(symbol)));
    button->setMinimumWidth(160);
    button->setMinimumHeight(32);
    button->setDefault(true);
    return button;
}

// A centred column for the set-up and locked states.
QWidget* centredColumn(std::initializer_list<QWidget*> widgets) {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch();
    for (QWidget* w : widgets) column->addWidget(w, 0, Qt::AlignHCenter);
    column->addStretch();
    return page;
}
}  // namespace

VaultView::VaultView(QWidget* parent) : QWidget(parent), model_(new VaultModel(this)) {
    setObjectName(QStringLiteral("vaultView"));
    pages_ = new QStackedWidget;
    pages_->addWidget(buildSetUpPage());
    pages_->addWidget(buildLockedPage());
    pages_->addWidget(buildUnlockedPage());

    error_ = new QLabel;
    error_->setObjectName(QStringLiteral("vaultError"));
    error_->setTextFormat(Qt::PlainText);  // names files
    error_->setWordWrap(true);
    error_->setStyleSheet(QStringLiteral("color: #d0312d;"));
    footer_ = new QLabel;
    footer_->setObjectName(QStringLiteral("vaultFooter"));
    footer_->setWordWrap(true);
    footer_->setForegroundRole(QPalette::PlaceholderText);
    QFont small = footer_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    footer_->setFont(small);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(pages_, 1);
    layout->addSpacing(6);
    layout->addWidget(error_);
    layout->addSpacing(8);
    layout->addWidget(footer_);

    connect(model_, &VaultModel::stateChanged, this, &VaultView::updateState);
    connect(model_, &VaultModel::errorChanged, this, &VaultView::updateState);
    connect(model_, &VaultModel::workingChanged, this, &VaultView::updateState);
    connect(model_, &VaultModel::busyChanged, this, &VaultView::updateState);
    connect(model_, &QAbstractItemModel::modelReset, this, &VaultView::updateState);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &VaultView::retranslate);
    connect(model_, &VaultModel::copyChanged, this, [this](quint64 copy) { askAboutCopy(copy); });
    connect(model_, &VaultModel::lockWaitsForAnswers, this, [this] {
        bool kept = false;
        for (const auto copy : model_->changedCopies()) kept = askAboutCopy(copy) == QMessageBox::Ignore || kept;
        if (!kept) model_->lock(true);  // a copy kept for now keeps the vault unlocked
    });
    retranslate();
}

int VaultView::askAboutCopy(quint64 copy) {
    QMessageBox box(QMessageBox::Question, qL("vault.copyChangedTitle").replace(QStringLiteral("%@"), model_->copyName(copy)),
                    qL("vault.copyChangedTitle").replace(QStringLiteral("%@"), model_->copyName(copy)),
                    QMessageBox::Save | QMessageBox::SaveAll | QMessageBox::Ignore | QMessageBox::Discard, this);
    box.setObjectName(QStringLiteral("vaultCopyChangedDialog"));
    box.setTextFormat(Qt::PlainText);  // the item's name, as written
    box.setInformativeText(qL("vault.copyChangedBody"));
    box.button(QMessageBox::Save)->setText(qL("vault.copyReplace"));
    box.button(QMessageBox::SaveAll)->setText(qL("vault.copyKeepBoth"));
    box.button(QMessageBox::Ignore)->setText(qL("vault.copyKeepForNow"));
    box.button(QMessageBox::Discard)->setText(qL("vault.copyDiscard"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Ignore);
    const int answer = DialogRunner::exec(box);
    using A = VaultModel::CopyAnswer;
    model_->resolveCopy(copy, answer == QMessageBox::Save      ? A::replace
                              : answer == QMessageBox::SaveAll ? A::keepBoth
                              : answer == QMessageBox::Discard ? A::discard
                                                               : A::keepForNow);
    return answer == QMessageBox::Save || answer == QMessageBox::SaveAll || answer == QMessageBox::Discard ? answer
                                                                                                          : int(QMessageBox::Ignore);
}

QWidget* VaultView::buildSetUpPage() {
    setUpTitle_ = titleLabel("vaultSetUpTitle");
    setUpBody_ = bodyLabel("vaultSetUpBody");
    setUpButton_ = largeButton("vaultSetUpButton", "lock.doc");
    connect(setUpButton_, &QPushButton::clicked, model_, &VaultModel::setUp);
    return centredColumn({iconLabel("lock.doc", 48), setUpTitle_, setUpBody_, setUpButton_});
}

QWidget* VaultView::buildLockedPage() {
    lockedTitle_ = titleLabel("vaultLockedTitle");
    lockedBody_ = bodyLabel("vaultLockedBody");
    unlockButton_ = largeButton("vaultUnlockButton", "faceid");
    connect(unlockButton_, &QPushButton::clicked, model_, &VaultModel::unlock);
    passwordFallback_ = bodyLabel("vaultPasswordFallback");
    QFont small = passwordFallback_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    passwordFallback_->setFont(small);
    return centredColumn({iconLabel("lock.fill", 48), lockedTitle_, lockedBody_, unlockButton_, passwordFallback_});
}

QWidget* VaultView::buildUnlockedPage() {
    itemCount_ = new QLabel;
    itemCount_->setObjectName(QStringLiteral("vaultItemCount"));
    busy_ = new QProgressBar;
    busy_->setObjectName(QStringLiteral("vaultBusy"));
    busy_->setRange(0, 0);
    busy_->setMaximumWidth(120);
    busy_->setTextVisible(false);
    addButton_ = new QPushButton(SymbolIcon::icon(QStringLiteral("plus")), {});
    addButton_->setObjectName(QStringLiteral("vaultAddButton"));
    lockButton_ = new QPushButton(SymbolIcon::icon(QStringLiteral("lock")), {});
    lockButton_->setObjectName(QStringLiteral("vaultLockButton"));
    connect(addButton_, &QPushButton::clicked, this, &VaultView::importFiles);
    connect(lockButton_, &QPushButton::clicked, model_, [this] { model_->lock(); });

    auto* header = new QHBoxLayout;
    header->addWidget(iconLabel("lock.open.fill", 18));
    header->addWidget(itemCount_);
    header->addStretch();
    header->addWidget(busy_);
    header->addWidget(addButton_);
    header->addWidget(lockButton_);

    list_ = new VaultListView;
    list_->setObjectName(QStringLiteral("vaultList"));
    list_->setModel(model_);
    auto* delegate = new VaultRowDelegate(list_);
    list_->setItemDelegate(delegate);
    connect(delegate, &VaultRowDelegate::openClicked, model_, &VaultModel::open);
    connect(delegate, &VaultRowDelegate::menuClicked, this, &VaultView::showRowMenu);
    // A double click, or Return on the current row.
    connect(list_, &QListView::activated, this, [this](const QModelIndex& i) { model_->open(i.row()); });
    // The row menu also for the keyboard (menu key) and a right click, not only the row's button.
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](QPoint pos) {
        QModelIndex index = list_->indexAt(pos);
        if (!index.isValid()) index = list_->currentIndex();
        if (index.isValid()) showRowMenu(index.row(), list_->viewport()->mapToGlobal(list_->visualRect(index).center()));
    });

    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->addLayout(header);
    column->addSpacing(10);
    column->addWidget(list_, 1);
    return page;
}

void VaultView::retranslate() {
    setUpTitle_->setText(qL("vault.title"));
    setUpBody_->setText(qL("vault.setupBody"));
    setUpButton_->setText(qL("vault.setUp"));
    lockedTitle_->setText(qL("vault.locked"));
    lockedBody_->setText(qL("vault.lockedBody"));
    passwordFallback_->setText(qL("vault.passwordFallback"));
    // A page of the stack is laid out from its labels' size hints, which guess at the wrapping:
    // reserve the lines the fixed width really needs, or a longer language is cut off.
    for (QLabel* body : {setUpBody_, lockedBody_, passwordFallback_}) body->setMinimumHeight(body->heightForWidth(body->width()));
    addButton_->setText(qL("vault.addFiles"));
    lockButton_->setText(qL("vault.lock"));
    footer_->setText(qL("vault.footer"));
    updateState();
    list_->viewport()->update();
}

void VaultView::updateState() {
    const VaultModel& m = *model_;
    pages_->setCurrentIndex(!m.isSetUp() ? 0 : !m.isUnlocked() ? 1 : 2);
    setUpButton_->setEnabled(!m.isWorking());
    unlockButton_->setEnabled(!m.isWorking());
    unlockButton_->setText(qL(m.isWorking() ? "vault.unlocking" : "vault.unlockWithFace"));
    itemCount_->setText(qLCount("vault.itemCountOne", "vault.itemCount", static_cast<long long>(m.items().size())));
    busy_->setVisible(m.isBusy());
    // A failure in red (under what is wrong with the folder); otherwise what the last action did.
    const QString failure = m.folderProblem().isEmpty() ? m.error()
                            : m.error().isEmpty()       ? m.folderProblem()
                                                        : m.folderProblem() + u'\n' + m.error();
    error_->setText(failure.isEmpty() ? m.notice() : failure);
    error_->setStyleSheet(failure.isEmpty() ? QString() : QStringLiteral("color: #d0312d;"));
    error_->setVisible(!error_->text().isEmpty());
    footer_->setVisible(m.isSetUp() && m.isUnlocked());
}

void VaultView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_->refresh();
}

void VaultView::importFiles() {
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("vaultAddDialog"));
    // The user's own files, not the folder the program happened to be started in.
    dialog.setDirectory(QDir::homePath());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, qL("vault.addPanelPrompt"));
    if (DialogRunner::exec(dialog) != QDialog::Accepted) return;
    model_->addURLs(dialog.selectedUrls());
}

void VaultView::exportItem(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("vaultExportDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setLabelText(QFileDialog::Accept, qL("vault.exportPanelPrompt"));
    // The index's name may be a path ("../x"); only a plain file name is suggested.
    const VaultItem item = model_->items()[std::size_t(row)];
    dialog.selectFile(QString::fromStdString(VaultIndex::plainFileName(item.name)));
    if (DialogRunner::exec(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    model_->exportItem(item.id, dialog.selectedFiles().constFirst().toStdString());
}

void VaultView::removeItem(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    // Names the file; Cancel is the default, so a stray Return removes nothing.
    const QString name = model_->index(row).data().toString();
    const Uuid id = model_->items()[std::size_t(row)].id;  // the rows may move while the box is open
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Korvel ID"), qL("vault.removeNamed").replace(QStringLiteral("%@"), name),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
    box.setObjectName(QStringLiteral("vaultRemoveDialog"));
    box.setTextFormat(Qt::PlainText);  // the item's name, as written
    box.setInformativeText(qL("vault.removeItemBody"));
    box.button(QMessageBox::Ok)->setText(qL("common.remove"));
    box.button(QMessageBox::Cancel)->setText(qL("common.cancel"));
    if (DialogRunner::exec(box) != QMessageBox::Ok) return;
    model_->remove(id);
}

void VaultView::showRowMenu(int row, QPoint globalPos) {
    if (row < 0 || row >= model_->rowCount()) return;
    // The row is looked up again once an action is chosen: the list may change while the menu is open.
    const Uuid id = model_->items()[std::size_t(row)].id;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("vaultRowMenu"));
    menu.addAction(qL("vault.export"), this, [this, id] { exportItem(model_->rowOf(id)); });
    menu.addAction(qL("common.remove"), this, [this, id] { removeItem(model_->rowOf(id)); });
    menu.exec(globalPos);
}
