#include "Auth/PasswordDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <QPointer>

#include <algorithm>

#include "Common/SymbolIcon.h"
#include "Identity/CredentialGate.h"
#include "Identity/MasterPassword.h"
#include "Identity/PasswordRules.h"
#include "Localization/Localization.h"
#include "Shell/QuitGuard.h"
#include "Support/Async.h"
#include "Vault/KorvelIDVault.h"

namespace {
// The callers' English reasons, shown in the chosen language, and the button that says what
// pressing it does. A reason not listed here is shown as given, with "Unlock".
struct Purpose {
    const char* reason;
    const char* reasonKey;
    const char* buttonKey;
};
constexpr Purpose purposes[] = {
    {QuitGuard::reason, "menu.quit", "auth.quit"},
    {KorvelIDVault::unlockReason, "auth.unlockVault", "common.unlock"},
    {KorvelIDVault::setUpReason, "auth.setUpVault", "vault.setUp"},
    {CredentialGate::reason(CredentialGate::Change::addFace), "auth.addFace", "common.continue"},
    {CredentialGate::reason(CredentialGate::Change::removeFaces), "auth.removeFaces", "common.continue"},
    {CredentialGate::reason(CredentialGate::Change::unprotectApp), "auth.unprotectApp", "common.continue"},
    {CredentialGate::reason(CredentialGate::Change::changeGrace), "auth.changeGrace", "common.continue"},
    {CredentialGate::reason(CredentialGate::Change::blinkOff), "auth.stopBlink", "common.continue"},
    {CredentialGate::reason(CredentialGate::Change::showLockedApps), "auth.showLockedApps", "common.continue"},
    {CredentialGate::reason(CredentialGate::Change::changeCamera), "auth.changeCamera", "common.continue"},
};

const Purpose* purposeOf(const std::string& reason) {
    for (const Purpose& p : purposes)
        if (reason == p.reason) return &p;
    return nullptr;
}

QLabel* makeIconLabel(QWidget* parent) {
    auto* icon = new QLabel(parent);
    // The program's own flat key symbol, as on its other screens (the style's message icon is a
    // full-colour picture on some desktops).
    const int size = parent->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, parent);
    icon->setPixmap(SymbolIcon::pixmap(QStringLiteral("key.fill"), size, parent->palette().color(QPalette::Highlight)));
    icon->setAlignment(Qt::AlignTop);
    return icon;
}
}  // namespace

PasswordDialog::PasswordDialog(const std::string& reason, QWidget* parent) : QDialog(parent), reason_(reason) {
    setObjectName("passwordDialog");
    setWindowTitle("Korvel ID");
    setModal(true);

    message_ = new QLabel(this);
    message_->setObjectName("messageLabel");
    QFont bold = message_->font();
    bold.setBold(true);
    message_->setFont(bold);
    message_->setWordWrap(true);

    informative_ = new QLabel(this);
    informative_->setObjectName("informativeLabel");
    informative_->setWordWrap(true);

    field_ = new QLineEdit(this);
    field_->setObjectName("passwordField");
    field_->setEchoMode(QLineEdit::Password);
    field_->setFixedSize(240, 24);

    error_ = new QLabel(this);
    error_->setObjectName("errorLabel");
    error_->setStyleSheet(QStringLiteral("color: #d0312d;"));
    error_->setWordWrap(true);
    error_->hide();
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] { setBusy(false); });

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
    text->addWidget(informative_);
    text->addSpacing(6);
    text->addWidget(field_);
    text->addWidget(error_);
    auto* top = new QHBoxLayout;
    top->addWidget(makeIconLabel(this), 0, Qt::AlignTop);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    field_->setFocus();
    retranslate();
    // A prompt opened anew waits out what is left of the wait after wrong passwords elsewhere.
    if (const auto wait = MasterPassword::retryWait(); wait.count() > 0) {
        setBusy(true);
        retry_.start(wait);
    }
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &PasswordDialog::retranslate);
}

PasswordDialog::~PasswordDialog() { field_->clear(); }

void PasswordDialog::retranslate() {
    message_->setText(qL("auth.enterMasterPassword"));
    field_->setPlaceholderText(qL("curtain.masterPassword"));
    const Purpose* purpose = purposeOf(reason_);
    informative_->setText(purpose ? qL(purpose->reasonKey) : QString::fromStdString(reason_));
    unlockButton_->setText(qL(purpose ? purpose->buttonKey : "common.unlock"));
    cancelButton_->setText(qL("common.cancel"));
    error_->setText(qL(errorKey_));
}

void PasswordDialog::setBusy(bool busy) {
    field_->setEnabled(!busy);
    unlockButton_->setEnabled(!busy);
    if (!busy) field_->setFocus();
}

void PasswordDialog::accept() {
    if (!check_ || verified_) return QDialog::accept();
    if (checking_ || isWaiting()) return;
    if (field_->text().isEmpty()) {
        // No password is no guess: nothing to check, nothing counted towards the wait.
        error_->setText(qL(errorKey_ = "curtain.incorrectPassword"));
        error_->show();
        return Q_EMIT checked();
    }
    checking_ = true;
    setBusy(true);
    auto typed = std::make_shared<SecretString>(takePassword());
    const QFuture<bool> answer = check_(typed->str());
    Async::whenFinished(answer, [self = QPointer(this), typed](const QFuture<bool>& f) {
        if (self) self->checkFinished(Async::valueOr(f, false), typed);
    });
}

void PasswordDialog::checkFinished(bool ok, const std::shared_ptr<SecretString>& typed) {
    checking_ = false;
    if (ok) {
        verified_ = true;
        if (typed) accepted_ = *typed;
        Q_EMIT checked();
        return QDialog::accept();
    }
    // A keyring that locked while the dialog was open refuses the right password too: say so, and
    // count nothing against the person.
    const bool inReach = MasterPassword::state() != MasterPassword::State::unavailable;
    errorKey_ = inReach ? "curtain.incorrectPassword" : "auth.keyringLocked";
    error_->setText(qL(errorKey_));
    error_->show();
    if (!inReach) {
        setBusy(false);
        return Q_EMIT checked();
    }
    ++failures_;
    // The program's count goes on across prompts: cancelling and asking again buys no free tries.
    const auto wait = std::max(PasswordRules::retryDelay(failures_), MasterPassword::retryWait());
    if (wait.count() > 0) retry_.start(wait);
    else setBusy(false);
    Q_EMIT checked();
}

SecretString PasswordDialog::takePassword() {
    if (verified_) return std::move(accepted_);
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
