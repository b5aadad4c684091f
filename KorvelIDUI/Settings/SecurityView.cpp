#include "Settings/SecurityView.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>

#include "Auth/GatedChange.h"

#include "Common/DialogRunner.h"
#include "Localization/Localization.h"
#include "Settings/ChangePasswordDialog.h"
#include "Shell/AppState.h"
#include "Shell/ShellServices.h"

SecurityView::SecurityView(AppState& state, QWidget* parent) : QWidget(parent), state_(state) {
    setObjectName(QStringLiteral("securityView"));
    auto* column = new QVBoxLayout(this);

    faceBox_ = new QGroupBox;
    auto* faces = new QFormLayout(faceBox_);
    enrolledLabel_ = new QLabel;
    enrolledCount_ = new QLabel;
    enrolledCount_->setObjectName(QStringLiteral("securityEnrolledCount"));
    faces->addRow(enrolledLabel_, enrolledCount_);
    addFace_ = new QPushButton;
    addFace_->setObjectName(QStringLiteral("securityAddFace"));
    removeFaces_ = new QPushButton;
    removeFaces_->setObjectName(QStringLiteral("securityRemoveFaces"));
    removeFaces_->setStyleSheet(QStringLiteral("color: #d0312d;"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addFace_);
    buttons->addWidget(removeFaces_);
    buttons->addStretch();
    faces->addRow(buttons);
    column->addWidget(faceBox_);

    passwordBox_ = new QGroupBox;
    auto* password = new QVBoxLayout(passwordBox_);
    changePassword_ = new QPushButton;
    changePassword_->setObjectName(QStringLiteral("securityChangePassword"));
    passwordNote_ = new QLabel;
    passwordNote_->setWordWrap(true);
    passwordNote_->setForegroundRole(QPalette::PlaceholderText);
    password->addWidget(changePassword_, 0, Qt::AlignLeft);
    password->addWidget(passwordNote_);
    column->addWidget(passwordBox_);

    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("securityStatus"));
    status_->setWordWrap(true);
    column->addWidget(status_);
    column->addStretch();

    connect(addFace_, &QPushButton::clicked, this, &SecurityView::addFace);
    connect(removeFaces_, &QPushButton::clicked, this, &SecurityView::removeFaces);
    connect(changePassword_, &QPushButton::clicked, this, &SecurityView::changePassword);
    connect(&state_, &AppState::isFaceEnrolledChanged, this, &SecurityView::refreshFaces);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &SecurityView::retranslate);
    retranslate();
}

void SecurityView::addFace() {
    whenAllowed(this, CredentialGate::Change::addFace, [this] {
        ShellServices::shared().presentEnrollment([state = &state_] { state->refresh(); });
    });
}

void SecurityView::removeFaces() {
    QMessageBox box(QMessageBox::Warning, qL("security.deleteFacesTitle"), qL("security.deleteFacesTitle"),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("securityRemoveFacesDialog"));
    box.setInformativeText(qL("security.deleteFacesBody"));
    box.button(QMessageBox::Ok)->setText(qL("common.delete"));
    box.button(QMessageBox::Cancel)->setText(qL("common.cancel"));
    if (DialogRunner::exec(box) != QMessageBox::Ok) return;
    whenAllowed(this, CredentialGate::Change::removeFaces, [this] {
        statusKey_ = ShellServices::shared().resetFaces() ? nullptr : "security.facesNotRemoved";
        state_.refresh();
        retranslate();
    });
}

void SecurityView::changePassword() {
    ChangePasswordDialog sheet(this);
    if (DialogRunner::exec(sheet) != QDialog::Accepted) return;
    statusKey_ = "security.passwordUpdated";
    retranslate();
}

void SecurityView::retranslate() {
    faceBox_->setTitle(qL("security.face"));
    enrolledLabel_->setText(qL("security.enrolledFaces"));
    addFace_->setText(qL("security.addFace"));
    removeFaces_->setText(qL("security.removeFaces"));
    passwordBox_->setTitle(qL("general.masterPassword"));
    changePassword_->setText(qL("security.changePassword"));
    passwordNote_->setText(qL("security.passwordNote"));
    status_->setText(statusKey_ ? qL(statusKey_) : QString());
    status_->setVisible(statusKey_ != nullptr);
    refreshFaces();
}

void SecurityView::refreshFaces() {
    enrolledCount_->setText(QString::number(ShellServices::shared().enrolledCount()));
    removeFaces_->setVisible(state_.isFaceEnrolled());
}
