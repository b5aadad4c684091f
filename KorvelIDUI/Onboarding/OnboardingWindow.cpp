#include "Onboarding/OnboardingWindow.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "Auth/GatedChange.h"
#include "Common/SymbolIcon.h"
#include "Localization/Localization.h"
#include "Onboarding/OnboardingState.h"
#include "Shell/AppState.h"
#include "Shell/ShellServices.h"

namespace {
const QColor green(0x1e, 0x9e, 0x3e);

QColor accent() { return QGuiApplication::palette().color(QPalette::Highlight); }

// A symbol in a box of its own size, so rows of symbols line up whatever the icon's artwork.
QLabel* symbol(const char* name, int size, const QColor& tint) {
    auto* label = new QLabel;
    label->setPixmap(SymbolIcon::pixmap(QString::fromLatin1(name), size, tint));
    label->setFixedHeight(size);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QLabel* sized(QLabel* label, double scale, bool bold, Qt::Alignment align = Qt::AlignCenter) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(bold);
    label->setFont(font);
    label->setAlignment(align);
    label->setWordWrap(true);
    return label;
}
}  // namespace

OnboardingWindow::OnboardingWindow(AppState& state, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      state_(state), model_(new OnboardingState(state, this)) {
    setObjectName(QStringLiteral("onboardingWindow"));
    setFixedSize(520, 560);
    pages_ = new QStackedWidget;
    pages_->addWidget(buildWelcomePage());
    pages_->addWidget(buildMasterPage());
    pages_->addWidget(buildFacePage());
    pages_->addWidget(buildDonePage());

    back_ = new QPushButton;
    back_->setObjectName(QStringLiteral("onboardingBack"));
    back_->setFlat(true);
    progress_ = new QProgressBar;
    progress_->setObjectName(QStringLiteral("onboardingProgress"));
    progress_->setRange(0, 0);
    progress_->setFixedWidth(60);
    progress_->setTextVisible(false);
    primary_ = new QPushButton;
    primary_->setObjectName(QStringLiteral("onboardingPrimary"));
    primary_->setDefault(true);
    primary_->setAutoDefault(true);
    primary_->setMinimumWidth(120);
    connect(back_, &QPushButton::clicked, model_, &OnboardingState::back);
    connect(primary_, &QPushButton::clicked, model_, &OnboardingState::advance);
    // Return presses the primary button on every step (a plain window has no default button).
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this, [this] {
            if (primary_->isEnabled() && primary_->isVisible()) primary_->click();
        });
    }

    auto* footer = new QHBoxLayout;
    footer->addWidget(back_);
    footer->addStretch();
    footer->addWidget(progress_);
    footer->addSpacing(8);
    footer->addWidget(primary_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 28, 24, 20);
    layout->addWidget(pages_, 1);
    layout->addLayout(footer);

    connect(model_, &OnboardingState::changed, this, &OnboardingWindow::refreshView);
    connect(model_, &OnboardingState::completed, this, &OnboardingWindow::finish);
    connect(&state_, &AppState::isFaceEnrolledChanged, this, &OnboardingWindow::refreshView);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &OnboardingWindow::retranslate);
    retranslate();
}

QWidget* OnboardingWindow::buildWelcomePage() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch();
    column->addWidget(symbol("faceid", 64, accent()));
    auto* name = sized(new QLabel(QStringLiteral("Korvel ID")), 2.0, true);
    column->addWidget(name);
    auto* tagline = sized(new QLabel, 1.0, false);
    tagline->setProperty("textKey", "onboard.tagline");
    keyed_ << tagline;
    column->addWidget(tagline);
    column->addSpacing(24);
    const std::pair<const char*, std::pair<const char*, const char*>> features[] = {
        {"lock.app.dashed", {"tab.appLock", "onboard.appLockDesc"}},
        {"lock.doc", {"vault.title", "onboard.vaultDesc"}},
    };
    for (const auto& [icon, texts] : features) {
        auto* row = new QHBoxLayout;
        auto* glyph = symbol(icon, 32, accent());
        glyph->setFixedWidth(40);
        row->addWidget(glyph, 0, Qt::AlignTop);
        auto* text = new QVBoxLayout;
        auto* title = sized(new QLabel, 1.0, true, Qt::AlignLeft);
        auto* body = sized(new QLabel, 0.95, false, Qt::AlignLeft);
        body->setForegroundRole(QPalette::PlaceholderText);
        title->setProperty("textKey", texts.first);
        body->setProperty("textKey", texts.second);
        keyed_ << title << body;
        text->addWidget(title);
        text->addWidget(body);
        row->addLayout(text, 1);
        column->addLayout(row);
        column->addSpacing(10);
    }
    column->addStretch();
    return page;
}

QWidget* OnboardingWindow::buildMasterPage() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch();
    auto* title = sized(new QLabel, 1.5, true, Qt::AlignLeft);
    title->setProperty("textKey", "onboard.setMaster");
    auto* body = sized(new QLabel, 1.0, false, Qt::AlignLeft);
    body->setProperty("textKey", "onboard.setMasterBody");
    body->setForegroundRole(QPalette::PlaceholderText);
    keyed_ << title << body;
    column->addWidget(title);
    column->addWidget(body);
    column->addSpacing(16);
    password_ = new QLineEdit;
    password_->setObjectName(QStringLiteral("onboardingPassword"));
    confirm_ = new QLineEdit;
    confirm_->setObjectName(QStringLiteral("onboardingConfirm"));
    for (QLineEdit* field : {password_, confirm_}) {
        field->setEchoMode(QLineEdit::Password);
        field->setMinimumHeight(30);
        column->addWidget(field);
    }
    connect(password_, &QLineEdit::textChanged, model_, &OnboardingState::setPassword);
    connect(confirm_, &QLineEdit::textChanged, model_, &OnboardingState::setConfirm);
    passwordError_ = sized(new QLabel, 1.0, false, Qt::AlignLeft);
    passwordError_->setObjectName(QStringLiteral("onboardingPasswordError"));
    passwordError_->setStyleSheet(QStringLiteral("color: #d0312d;"));
    column->addWidget(passwordError_);
    auto* tip = sized(new QLabel, 0.9, false, Qt::AlignLeft);
    tip->setProperty("textKey", "onboard.tip");
    tip->setForegroundRole(QPalette::PlaceholderText);
    keyed_ << tip;
    column->addWidget(tip);
    column->addStretch();
    return page;
}

QWidget* OnboardingWindow::buildFacePage() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch();
    faceIcon_ = new QLabel;
    faceIcon_->setAlignment(Qt::AlignCenter);
    column->addWidget(faceIcon_);
    auto* title = sized(new QLabel, 1.5, true);
    title->setObjectName(QStringLiteral("onboardingFaceTitle"));
    auto* body = sized(new QLabel, 1.0, false);
    body->setObjectName(QStringLiteral("onboardingFaceBody"));
    body->setForegroundRole(QPalette::PlaceholderText);
    keyed_ << title << body;  // keys set in refreshView(): they depend on the enrolment
    column->addWidget(title);
    column->addWidget(body);
    column->addSpacing(12);
    enrollButton_ = new QPushButton(SymbolIcon::icon(QStringLiteral("faceid")), {});
    enrollButton_->setObjectName(QStringLiteral("onboardingEnroll"));
    enrollButton_->setMinimumWidth(160);
    enrollButton_->setMinimumHeight(32);
    // The password is in force by now, and this window may stay open unattended: a face is added
    // only after it is asked for, as everywhere else.
    connect(enrollButton_, &QPushButton::clicked, this, [this] {
        whenAllowed(this, CredentialGate::Change::addFace, [state = &state_] {
            ShellServices::shared().presentEnrollment([state] { state->refresh(); });
        });
    });
    column->addWidget(enrollButton_, 0, Qt::AlignHCenter);
    column->addStretch();
    return page;
}

QWidget* OnboardingWindow::buildDonePage() {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addStretch();
    column->addWidget(symbol("checkmark.seal.fill", 64, green));
    auto* title = sized(new QLabel, 1.7, true);
    title->setProperty("textKey", "onboard.ready");
    auto* body = sized(new QLabel, 1.0, false);
    body->setProperty("textKey", "onboard.readyBody");
    body->setForegroundRole(QPalette::PlaceholderText);
    keyed_ << title << body;
    column->addWidget(title);
    column->addWidget(body);
    column->addStretch();
    return page;
}

void OnboardingWindow::retranslate() {
    setWindowTitle(qL("onboard.welcomeTitle"));
    back_->setText(qL("common.back"));
    password_->setPlaceholderText(qL("general.masterPassword"));
    confirm_->setPlaceholderText(qL("onboard.confirmPassword"));
    enrollButton_->setText(qL("enroll.enrollButton"));
    refreshView();
}

void OnboardingWindow::refreshView() {
    const bool enrolled = state_.isFaceEnrolled();
    const auto face = findChild<QLabel*>(QStringLiteral("onboardingFaceTitle"));
    const auto faceBody = findChild<QLabel*>(QStringLiteral("onboardingFaceBody"));
    face->setProperty("textKey", enrolled ? "onboard.faceAdded" : "onboard.addFace");
    faceBody->setProperty("textKey", enrolled ? "onboard.faceAddedBody" : "onboard.addFaceBody");
    faceIcon_->setPixmap(enrolled ? SymbolIcon::pixmap(QStringLiteral("checkmark.circle.fill"), 56, green)
                                  : SymbolIcon::pixmap(QStringLiteral("person.crop.square.badge.camera"), 56, accent()));
    enrollButton_->setVisible(!enrolled);
    for (QLabel* label : keyed_) label->setText(qL(label->property("textKey").toByteArray().constData()));

    const bool stepChanged = pages_->currentIndex() != static_cast<int>(model_->step());
    pages_->setCurrentIndex(static_cast<int>(model_->step()));
    back_->setVisible(model_->showsBack());
    back_->setEnabled(!model_->isSavingPassword());
    progress_->setVisible(model_->isSavingPassword());
    primary_->setText(qL(model_->primaryTitleKey()));
    primary_->setEnabled(model_->canAdvance());
    // Return presses the primary button on every step, so the focus sits there too (not on
    // "Enroll Face", which Return would not press). Enabled first: a disabled button takes no focus.
    if (stepChanged && model_->step() != OnboardingState::Step::master) primary_->setFocus();
    const QString error = model_->passwordError();
    passwordError_->setText(error.isEmpty() ? QString() : qL(error.toLatin1().constData()));
    passwordError_->setVisible(!error.isEmpty());
    if (model_->step() == OnboardingState::Step::master && isVisible() && !password_->hasFocus() && !confirm_->hasFocus())
        password_->setFocus();
}

void OnboardingWindow::present() {
    show();
    raise();
    activateWindow();
}

void OnboardingWindow::finish() {
    state_.refresh();
    close();
    if (onComplete_) onComplete_();
}
