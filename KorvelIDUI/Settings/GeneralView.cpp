#include "Settings/GeneralView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include "Common/SymbolIcon.h"
#include "Face/CameraActivity.h"
#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Shell/AppInfo.h"
#include "Shell/AppState.h"
#include "Shell/LaunchAtLogin.h"
#include "Shell/ShellServices.h"

namespace {
QLabel* note(const char* objectName) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(objectName));
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    label->setFont(small);
    return label;
}

QLabel* value(const char* objectName) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(objectName));
    return label;
}
}  // namespace

GeneralView::GeneralView(AppState& state, QWidget* parent) : QWidget(parent), state_(state) {
    setObjectName(QStringLiteral("generalView"));
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);

    statusBox_ = new QGroupBox;
    auto* status = new QFormLayout(statusBox_);
    faceLabel_ = new QLabel;
    faceValue_ = value("generalFaceStatus");
    passwordLabel_ = new QLabel;
    passwordValue_ = value("generalPasswordStatus");
    cameraLabel_ = new QLabel;
    cameraIcon_ = new QLabel;
    cameraValue_ = value("generalCameraStatus");
    auto* camera = new QHBoxLayout;
    camera->addWidget(cameraIcon_);
    camera->addWidget(cameraValue_, 1);
    status->addRow(faceLabel_, faceValue_);
    status->addRow(passwordLabel_, passwordValue_);
    status->addRow(cameraLabel_, camera);
    cameraNote_ = note("generalCameraNote");
    status->addRow(cameraNote_);
    fileStoreWarning_ = new QLabel;
    fileStoreWarning_->setObjectName(QStringLiteral("generalFileStoreWarning"));
    fileStoreWarning_->setWordWrap(true);
    fileStoreWarning_->setStyleSheet(QStringLiteral("color: #b35c00;"));
    status->addRow(fileStoreWarning_);
    column->addWidget(statusBox_);

    auto* options = new QFormLayout;
    languageLabel_ = new QLabel;
    language_ = new QComboBox;
    language_->setObjectName(QStringLiteral("generalLanguage"));
    for (AppLanguage lang : allLanguages())
        language_->addItem(QString::fromStdString(nativeName(lang)), static_cast<int>(lang));
    options->addRow(languageLabel_, language_);
    column->addLayout(options);
    launchAtLogin_ = new QCheckBox;
    launchAtLogin_->setObjectName(QStringLiteral("generalLaunchAtLogin"));
    launchAtLogin_->setChecked(LaunchAtLogin::isEnabled());
    requireBlink_ = new QCheckBox;
    requireBlink_->setObjectName(QStringLiteral("generalRequireBlink"));
    requireBlink_->setChecked(ShellServices::shared().requireLiveness());
    blinkNote_ = note("generalBlinkNote");
    column->addWidget(launchAtLogin_);
    column->addWidget(requireBlink_);
    column->addWidget(blinkNote_);

    aboutBox_ = new QGroupBox;
    auto* about = new QFormLayout(aboutBox_);
    versionLabel_ = new QLabel;
    versionValue_ = value("generalVersion");
    versionValue_->setText(AppInfo::version());
    buildLabel_ = new QLabel;
    buildValue_ = value("generalBuild");
    buildValue_->setText(AppInfo::build());
    about->addRow(versionLabel_, versionValue_);
    about->addRow(buildLabel_, buildValue_);
    footer_ = note("generalFooter");
    about->addRow(footer_);
    column->addWidget(aboutBox_);
    column->addStretch();

    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    connect(language_, &QComboBox::activated, this, [this](int index) {
        Localizer::shared().setLanguage(static_cast<AppLanguage>(language_->itemData(index).toInt()));
    });
    connect(launchAtLogin_, &QCheckBox::toggled, this, [](bool on) { LaunchAtLogin::set(on); });
    connect(requireBlink_, &QCheckBox::toggled, this, [this](bool on) {
        ShellServices::shared().setRequireLiveness(on);
        retranslate();
    });
    connect(&CameraActivity::shared(), &CameraActivity::isActiveChanged, this, &GeneralView::refreshStatus);
    connect(&state_, &AppState::isFaceEnrolledChanged, this, &GeneralView::refreshStatus);
    connect(&state_, &AppState::isOnboardedChanged, this, &GeneralView::refreshStatus);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &GeneralView::retranslate);
    retranslate();
}

void GeneralView::retranslate() {
    statusBox_->setTitle(qL("general.status"));
    faceLabel_->setText(qL("general.faceUnlock"));
    passwordLabel_->setText(qL("general.masterPassword"));
    cameraLabel_->setText(qL("general.camera"));
    cameraNote_->setText(qL("general.cameraNote"));
    fileStoreWarning_->setText(qL("general.fileStoreWarning"));
    languageLabel_->setText(qL("general.language"));
    language_->setCurrentIndex(language_->findData(static_cast<int>(Localizer::shared().language())));
    launchAtLogin_->setText(qL("general.launchAtLogin"));
    requireBlink_->setText(qL("general.requireBlink"));
    blinkNote_->setText(qL(requireBlink_->isChecked() ? "general.requireBlinkOn" : "general.requireBlinkOff"));
    aboutBox_->setTitle(qL("general.about"));
    versionLabel_->setText(qL("general.version"));
    buildLabel_->setText(qL("general.build"));
    footer_->setText(qL("general.footer"));
    refreshStatus();
}

void GeneralView::refreshStatus() {
    faceValue_->setText(qL(state_.isFaceEnrolled() ? "general.enabled" : "general.notSetUp"));
    passwordValue_->setText(qL(MasterPassword::isSet() ? "general.set" : "general.notSet"));
    const bool active = CameraActivity::shared().isActive();
    cameraIcon_->setPixmap(SymbolIcon::pixmap(QString::fromLatin1(active ? "camera.fill" : "camera"), 16));
    cameraValue_->setText(qL(active ? "general.cameraInUse" : "general.cameraOff"));
    cameraValue_->setStyleSheet(active ? QStringLiteral("color: #1e9e3e;") : QString());
    cameraValue_->setForegroundRole(active ? QPalette::WindowText : QPalette::PlaceholderText);
    fileStoreWarning_->setVisible(ShellServices::shared().secretStoreKind() == SecretStore::Kind::file);
}
