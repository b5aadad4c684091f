#include "Auth/PasswordDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "Localization/Localization.h"

namespace {
QLabel* makeIconLabel(QWidget* parent) {
    auto* icon = new QLabel(parent);
    const int size = parent->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, parent);
    icon->setPixmap(parent->style()->standardIcon(QStyle::SP_MessageBoxInformation, nullptr, parent).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    return icon;
}
}  // namespace

PasswordDialog::PasswordDialog(const std::string& reason, QWidget* parent) : QDialog(parent) {
    setObjectName("passwordDialog");
    setWindowTitle("Korvel ID");
    setModal(true);

    message_ = new QLabel(this);
    message_->setObjectName("messageLabel");
    QFont bold = message_->font();
    bold.setBold(true);
    message_->setFont(bold);
    message_->setWordWrap(true);

    // The reason is the caller's own short phrase, shown as given.
    auto* informative = new QLabel(QString::fromStdString(reason), this);
    informative->setObjectName("informativeLabel");
    informative->setWordWrap(true);

    field_ = new QLineEdit(this);
    field_->setObjectName("passwordField");
    field_->setEchoMode(QLineEdit::Password);
    field_->setFixedSize(240, 24);

    auto* buttons = new QDialogButtonBox(this);
    unlockButton_ = buttons->addButton(QString(), QDialogButtonBox::AcceptRole);
    unlockButton_->setObjectName("unlockButton");
    unlockButton_->setDefault(true);
    cancelButton_ = buttons->addButton(QString(), QDialogButtonBox::RejectRole);
    cancelButton_->setObjectName("cancelButton");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* text = new QVBoxLayout;
    text->addWidget(message_);
    text->addWidget(informative);
    text->addSpacing(6);
    text->addWidget(field_);
    auto* top = new QHBoxLayout;
    top->addWidget(makeIconLabel(this), 0, Qt::AlignTop);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    field_->setFocus();
    retranslate();
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &PasswordDialog::retranslate);
}

PasswordDialog::~PasswordDialog() { field_->clear(); }

void PasswordDialog::retranslate() {
    message_->setText(qL("auth.enterMasterPassword"));
    field_->setPlaceholderText(qL("curtain.masterPassword"));
    unlockButton_->setText(qL("common.unlock"));
    cancelButton_->setText(qL("common.cancel"));
}

SecretString PasswordDialog::takePassword() {
    QString text = field_->text();
    field_->clear();
    QByteArray utf8 = text.toUtf8();
    // After clear() this copy is the only one left; overwrite it in place.
    text.fill(QChar(u'\0'));
    SecretString password(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    secureWipe(utf8.data(), static_cast<std::size_t>(utf8.size()));
    return password;
}

void PasswordDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Asked for from the tray or a background check: the dialog must come to the front.
    raise();
    activateWindow();
    field_->setFocus();
}
