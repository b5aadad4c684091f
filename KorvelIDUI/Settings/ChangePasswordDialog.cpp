#include "Settings/ChangePasswordDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "Localization/Localization.h"
#include "Settings/ChangePasswordState.h"

ChangePasswordDialog::ChangePasswordDialog(QWidget* parent) : QDialog(parent), model_(new ChangePasswordState(this)) {
    setObjectName(QStringLiteral("changePasswordDialog"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(14);
    title_ = new QLabel;
    QFont bold = title_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    title_->setFont(bold);
    layout->addWidget(title_);
    current_ = new QLineEdit;
    current_->setObjectName(QStringLiteral("changePasswordCurrent"));
    new_ = new QLineEdit;
    new_->setObjectName(QStringLiteral("changePasswordNew"));
    confirm_ = new QLineEdit;
    confirm_->setObjectName(QStringLiteral("changePasswordConfirm"));
    for (QLineEdit* field : {current_, new_, confirm_}) {
        field->setEchoMode(QLineEdit::Password);
        field->setMinimumHeight(28);
        layout->addWidget(field);
    }
    connect(current_, &QLineEdit::textChanged, this, [this](const QString& t) { model_->current = t; });
    connect(new_, &QLineEdit::textChanged, this, [this](const QString& t) { model_->newPassword = t; });
    connect(confirm_, &QLineEdit::textChanged, this, [this](const QString& t) { model_->confirm = t; });
    error_ = new QLabel;
    error_->setObjectName(QStringLiteral("changePasswordError"));
    error_->setWordWrap(true);
    error_->setStyleSheet(QStringLiteral("color: #d0312d;"));
    layout->addWidget(error_);

    progress_ = new QProgressBar;
    progress_->setRange(0, 0);
    progress_->setFixedWidth(40);
    progress_->setTextVisible(false);
    working_ = new QLabel;
    cancel_ = new QPushButton;
    cancel_->setObjectName(QStringLiteral("changePasswordCancel"));
    change_ = new QPushButton;
    change_->setObjectName(QStringLiteral("changePasswordChange"));
    change_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(progress_);
    buttons->addWidget(working_);
    buttons->addStretch();
    buttons->addWidget(cancel_);
    buttons->addWidget(change_);
    layout->addLayout(buttons);
    setFixedWidth(360);

    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(change_, &QPushButton::clicked, model_, &ChangePasswordState::attempt);
    connect(model_, &ChangePasswordState::changed, this, &ChangePasswordDialog::refreshView);
    connect(model_, &ChangePasswordState::succeeded, this, &QDialog::accept);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &ChangePasswordDialog::retranslate);
    retranslate();
}

void ChangePasswordDialog::retranslate() {
    setWindowTitle(qL("changepw.title"));
    title_->setText(qL("changepw.title"));
    current_->setPlaceholderText(qL("changepw.current"));
    new_->setPlaceholderText(qL("changepw.new"));
    confirm_->setPlaceholderText(qL("changepw.confirm"));
    working_->setText(qL("changepw.working"));
    cancel_->setText(qL("common.cancel"));
    change_->setText(qL("changepw.change"));
    refreshView();
}

void ChangePasswordDialog::refreshView() {
    const bool working = model_->isWorking();
    progress_->setVisible(working);
    working_->setVisible(working);
    cancel_->setEnabled(!working);
    change_->setEnabled(!working);
    error_->setText(model_->error().isEmpty() ? QString() : qL(model_->error().toLatin1().constData()));
    error_->setVisible(!model_->error().isEmpty());
}

void ChangePasswordDialog::reject() {
    if (model_->isWorking()) return;
    QDialog::reject();
}
