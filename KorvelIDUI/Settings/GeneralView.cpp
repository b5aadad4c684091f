#include "Settings/GeneralView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Auth/GatedChange.h"

#include "Common/SymbolIcon.h"
#include "Face/CameraActivity.h"
#include "Identity/MasterPassword.h"
#include "Localization/Localization.h"
#include "Settings/SystemFaceSection.h"
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
    cameraChoiceLabel_ = new QLabel;
    cameraChoice_ = new QComboBox;
    cameraChoice_->setObjectName(QStringLiteral("generalCameraChoice"));
    status->addRow(cameraChoiceLabel_, cameraChoice_);
    cameraNote_ = note("generalCameraNote");
    status->addRow(cameraNote_);
    fileStoreWarning_ = new QLabel;
    fileStoreWarning_->setObjectName(QStringLiteral("generalFileStoreWarning"));
    fileStoreWarning_->setWordWrap(true);
    fileStoreWarning_->setStyleSheet(QStringLiteral("color: #b35c00;"));
    status->addRow(fileStoreWarning_);
    conflictWarning_ = new QLabel;
    conflictWarning_->setObjectName(QStringLiteral("generalSecretConflict"));
    conflictWarning_->setTextFormat(Qt::PlainText);  // names a file
    conflictWarning_->setWordWrap(true);
    conflictWarning_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    conflictWarning_->setStyleSheet(QStringLiteral("color: #b35c00;"));
    status->addRow(conflictWarning_);
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
    // Face authentication for sudo and the login screen: its own section, talking to the system service.
    column->addWidget(new SystemFaceSection);

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
    windowActions_ = new QWidget;
    aboutButton_ = new QPushButton;
    aboutButton_->setObjectName(QStringLiteral("generalAboutButton"));
    quitButton_ = new QPushButton;
    quitButton_->setObjectName(QStringLiteral("generalQuitButton"));
    auto* actions = new QHBoxLayout(windowActions_);
    actions->setContentsMargins(0, 0, 0, 0);
    actions->addWidget(aboutButton_);
    actions->addWidget(quitButton_);
    actions->addStretch();
    about->addRow(windowActions_);
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
    connect(cameraChoice_, &QComboBox::activated, this, [this](int index) {
        const int chosen = ShellServices::shared().chosenCamera();
        if (index == chosen) return;
        // Another device could be fed from a file: the choice shown stays until the credential allows it.
        cameraChoice_->setCurrentIndex(chosen);
        const std::string name = cameraChoice_->itemText(index).toStdString();
        whenAllowed(this, CredentialGate::Change::changeCamera, [this, index, name] {
            ShellServices::shared().chooseCamera(index, name);
            refreshCameras();
        });
    });
    connect(aboutButton_, &QPushButton::clicked, this, [] { ShellServices::shared().showAbout(); });
    connect(quitButton_, &QPushButton::clicked, this, [] { ShellServices::shared().requestQuit(); });
    connect(&state_, &AppState::hasTrayChanged, this, [this](bool tray) { windowActions_->setVisible(!tray); });
    windowActions_->setVisible(!state_.hasTray());
    connect(launchAtLogin_, &QCheckBox::toggled, this, [](bool on) { LaunchAtLogin::set(on); });
    connect(requireBlink_, &QCheckBox::toggled, this, [this](bool on) {
        if (on) {
            ShellServices::shared().setRequireLiveness(true);
            return showBlinkInForce(true);
        }
        // Turning it off lets a photo through: the box stays on until the credential allows it.
        const QSignalBlocker quiet(requireBlink_);
        requireBlink_->setChecked(true);
        whenAllowed(this, CredentialGate::Change::blinkOff, [this] {
            ShellServices::shared().setRequireLiveness(false);
            showBlinkInForce(false);
        });
    });
    connect(&CameraActivity::shared(), &CameraActivity::isActiveChanged, this, &GeneralView::refreshStatus);
    connect(&state_, &AppState::isFaceEnrolledChanged, this, &GeneralView::refreshStatus);
    connect(&state_, &AppState::isOnboardedChanged, this, &GeneralView::refreshStatus);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &GeneralView::retranslate);
    refreshCameras();
    retranslate();
}

// What is in force, whatever was asked: a save that failed (a damaged or unwritable settings.json)
// leaves the old value, and the note says so.
void GeneralView::showBlinkInForce(bool asked) {
    const QSignalBlocker quiet(requireBlink_);
    requireBlink_->setChecked(ShellServices::shared().requireLiveness());
    blinkNotSaved_ = requireBlink_->isChecked() != asked;
    retranslate();
}

void GeneralView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshCameras();
    refreshStatus();
}

void GeneralView::refreshCameras() {
    const std::vector<std::string> names = ShellServices::shared().cameras();
    hasCamera_ = !names.empty();
    cameraChoice_->clear();
    for (const auto& name : names) cameraChoice_->addItem(QString::fromStdString(name));
    cameraChoice_->setCurrentIndex(ShellServices::shared().chosenCamera());
    // A choice only where there is one to make.
    cameraChoiceLabel_->setVisible(names.size() > 1);
    cameraChoice_->setVisible(names.size() > 1);
}

void GeneralView::retranslate() {
    statusBox_->setTitle(qL("general.status"));
    faceLabel_->setText(qL("general.faceUnlock"));
    passwordLabel_->setText(qL("general.masterPassword"));
    cameraLabel_->setText(qL("general.camera"));
    cameraChoiceLabel_->setText(qL("general.cameraDevice"));
    aboutButton_->setText(qL("menu.about"));
    quitButton_->setText(qL("menu.quit"));
    fileStoreWarning_->setText(qL("general.fileStoreWarning"));
    languageLabel_->setText(qL("general.language"));
    language_->setCurrentIndex(language_->findData(static_cast<int>(Localizer::shared().language())));
    launchAtLogin_->setText(qL("general.launchAtLogin"));
    requireBlink_->setText(qL("general.requireBlink"));
    blinkNote_->setText(qL(blinkNotSaved_ ? "general.settingsNotSaved"
                           : requireBlink_->isChecked() ? "general.requireBlinkOn" : "general.requireBlinkOff"));
    aboutBox_->setTitle(qL("general.about"));
    versionLabel_->setText(qL("general.version"));
    buildLabel_->setText(qL("general.build"));
    footer_->setText(qL("general.footer"));
    refreshStatus();
}

void GeneralView::refreshStatus() {
    faceValue_->setText(qL(state_.isFaceEnrolled() ? "general.enabled" : "general.notSetUp"));
    const auto password = MasterPassword::state();
    passwordValue_->setText(qL(password == MasterPassword::State::set      ? "general.set"
                               : password == MasterPassword::State::notSet ? "general.notSet"
                                                                           : "general.keyringLocked"));
    const bool active = CameraActivity::shared().isActive();
    cameraIcon_->setPixmap(SymbolIcon::pixmap(QString::fromLatin1(active ? "camera.fill" : "camera"), 16));
    // Without a camera, say so and what to do instead of a plain "Off".
    cameraValue_->setText(qL(active ? "general.cameraInUse" : hasCamera_ ? "general.cameraOff" : "scan.noCamera"));
    cameraValue_->setStyleSheet(active ? QStringLiteral("color: #1e9e3e;") : hasCamera_ ? QString() : QStringLiteral("color: #b35c00;"));
    cameraNote_->setText(qL(hasCamera_ || active ? "general.cameraNote" : "general.noCameraHint"));
    cameraValue_->setForegroundRole(active ? QPalette::WindowText : QPalette::PlaceholderText);
    fileStoreWarning_->setVisible(ShellServices::shared().secretStoreKind() == SecretStore::Kind::file);
    const auto conflict = ShellServices::shared().secretStoreConflictFile();
    conflictWarning_->setText(conflict ? qL("general.secretConflict").replace(QStringLiteral("%@"), QString::fromStdString(*conflict)) : QString());
    conflictWarning_->setVisible(conflict.has_value());
}
