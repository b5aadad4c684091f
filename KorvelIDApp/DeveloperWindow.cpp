#include "DeveloperWindow.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QFutureWatcher>
#include <QPushButton>
#include <QVBoxLayout>

#include "Common/DialogRunner.h"
#include "Face/CameraActivity.h"
#include "Identity/KorvelID.h"
#include "Identity/KorvelIDSettings.h"
#include "Localization/Localization.h"

namespace {
// The controller's own short English texts, as the scan display shows them.
QString describe(const UnlockResult& result) {
    switch (result.kind) {
    case UnlockResult::Kind::approved: return QString::fromStdString("\u2713 " + result.name);
    case UnlockResult::Kind::denied: return QString::fromStdString(result.reason);
    case UnlockResult::Kind::cameraUnavailable: return QStringLiteral("No camera access");
    case UnlockResult::Kind::notEnrolled: return qL("general.notSetUp");
    }
    return {};
}
}  // namespace

DeveloperWindow::DeveloperWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("developerWindow");
    setWindowTitle("Korvel ID");

    auto* heading = new QLabel("Korvel ID", this);
    QFont big = heading->font();
    big.setPixelSize(20);
    big.setBold(true);
    heading->setFont(big);

    facesCaption_ = new QLabel(this);
    faces_ = new QLabel(this);
    faces_->setObjectName("enrolledFacesLabel");
    cameraCaption_ = new QLabel(this);
    camera_ = new QLabel(this);
    camera_->setObjectName("cameraStateLabel");
    auto* form = new QFormLayout;
    form->addRow(facesCaption_, faces_);
    form->addRow(cameraCaption_, camera_);

    requireBlink_ = new QCheckBox(this);
    requireBlink_->setObjectName("requireBlinkCheckBox");
    requireBlink_->setChecked(KorvelIDSettings::requireLiveness());
    connect(requireBlink_, &QCheckBox::toggled, this, [](bool on) { KorvelIDSettings::setRequireLiveness(on); });

    enrollButton_ = new QPushButton(this);
    enrollButton_->setObjectName("enrollButton");
    connect(enrollButton_, &QPushButton::clicked, this, [this] { KorvelID::presentEnrollment([this] { refresh(); }); });
    unlockButton_ = new QPushButton(this);
    unlockButton_->setObjectName("unlockButton");
    connect(unlockButton_, &QPushButton::clicked, this, &DeveloperWindow::unlockPressed);
    removeButton_ = new QPushButton(this);
    removeButton_->setObjectName("removeFacesButton");
    connect(removeButton_, &QPushButton::clicked, this, &DeveloperWindow::removeFacesPressed);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(enrollButton_);
    buttons->addWidget(unlockButton_);
    buttons->addWidget(removeButton_);

    result_ = new QLabel(this);
    result_->setObjectName("resultLabel");

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(form);
    layout->addWidget(requireBlink_);
    layout->addLayout(buttons);
    layout->addWidget(result_);
    layout->addStretch();

    connect(&CameraActivity::shared(), &CameraActivity::isActiveChanged, this, &DeveloperWindow::refresh);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &DeveloperWindow::retranslate);
    retranslate();
}

void DeveloperWindow::retranslate() {
    facesCaption_->setText(qL("security.enrolledFaces") + ":");
    cameraCaption_->setText(qL("general.camera") + ":");
    requireBlink_->setText(qL("general.requireBlink"));
    enrollButton_->setText(qL("enroll.enrollButton"));
    unlockButton_->setText(qL("vault.unlockWithFace"));
    removeButton_->setText(qL("security.removeFaces"));
    refresh();
}

void DeveloperWindow::refresh() {
    QStringList names;
    for (const auto& name : KorvelID::enrolledNames()) names << QString::fromStdString(name);
    faces_->setText(names.isEmpty() ? qL("general.notSetUp") : names.join(", "));
    camera_->setText(qL(CameraActivity::shared().isActive() ? "general.cameraInUse" : "general.cameraOff"));
    removeButton_->setEnabled(!names.isEmpty());
}

void DeveloperWindow::unlockPressed() {
    result_->setText(QStringLiteral("\u2026"));
    // The watcher belongs to this window: a result arriving after the window closed goes nowhere.
    auto* watcher = new QFutureWatcher<UnlockResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QFuture<UnlockResult> f = watcher->future();
        result_->setText(f.resultCount() > 0 ? describe(f.result()) : QString());
    });
    watcher->setFuture(KorvelID::unlock(true));
}

void DeveloperWindow::removeFacesPressed() {
    QMessageBox confirm(QMessageBox::Warning, qL("security.deleteFacesTitle"), qL("security.deleteFacesTitle"),
                        QMessageBox::Cancel, this);
    confirm.setInformativeText(qL("security.deleteFacesBody"));
    confirm.addButton(qL("common.delete"), QMessageBox::DestructiveRole);
    confirm.setDefaultButton(QMessageBox::Cancel);
    if (DialogRunner::exec(confirm) == QMessageBox::Cancel) return;
    KorvelID::reset();
    refresh();
}
