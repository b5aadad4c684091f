#include "Curtain/LockCurtainView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "AppLock/CurtainModel.h"
#include "Curtain/CurtainGlyph.h"
#include "Curtain/CurtainSpinner.h"
#include "Localization/Localization.h"

namespace {
const char* const curtainStyle = R"(
QLabel#curtainTitle { color: white; font-size: 24pt; font-weight: bold; }
QLabel#curtainSubtitle { color: rgba(235, 235, 245, 160); font-size: 15pt; }
QLabel#curtainSubtitle[error="true"] { color: #ff6961; font-weight: bold; }
QLabel#curtainKeyboardNotice { color: #ffd60a; font-size: 11pt; }
QLabel#curtainScanningLabel, QLabel#curtainCheckingLabel { color: rgba(235, 235, 245, 160); font-size: 11pt; }
QPushButton { color: white; background: rgba(255, 255, 255, 28); border: 1px solid rgba(255, 255, 255, 40);
              border-radius: 8px; padding: 7px 16px; font-size: 11pt; }
QPushButton:hover { background: rgba(255, 255, 255, 44); }
QPushButton:focus { border: 1px solid rgba(10, 132, 255, 220); }
QPushButton[prominent="true"] { background: #0a84ff; border: 1px solid #0a84ff; }
QPushButton[prominent="true"]:hover { background: #2b95ff; }
QPushButton:disabled { color: rgba(255, 255, 255, 90); background: rgba(255, 255, 255, 14); border-color: transparent; }
QLineEdit { color: white; background: rgba(255, 255, 255, 22); border: 1px solid rgba(255, 255, 255, 60);
            border-radius: 8px; padding: 7px 10px; font-size: 12pt; }
QLineEdit:focus { border: 1px solid #0a84ff; }
QLineEdit:disabled { color: rgba(255, 255, 255, 110); }
)";

QWidget* statusRow(CurtainSpinner* spinner, QLabel* label, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addStretch();
    layout->addWidget(spinner);
    layout->addWidget(label);
    layout->addStretch();
    return row;
}
}  // namespace

LockCurtainView::LockCurtainView(CurtainModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("lockCurtainView");
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(curtainStyle);
    build();
    bind();
    retranslate();
    refresh();
}

QPushButton* LockCurtainView::makeButton(const char* objectName, bool prominent) {
    auto* button = new QPushButton(this);
    button->setObjectName(objectName);
    button->setProperty("prominent", prominent);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

void LockCurtainView::build() {
    glyph_ = new CurtainGlyph(this);
    title_ = new QLabel(this);
    title_->setObjectName("curtainTitle");
    // Names an application by its desktop entry: plain text, so a name cannot bring markup (an
    // image as wide as the screen, a file read as an image) onto the curtain.
    title_->setTextFormat(Qt::PlainText);
    title_->setAlignment(Qt::AlignCenter);
    title_->setWordWrap(true);
    subtitle_ = new QLabel(this);
    subtitle_->setObjectName("curtainSubtitle");
    subtitle_->setTextFormat(Qt::PlainText);
    subtitle_->setAlignment(Qt::AlignCenter);
    subtitle_->setWordWrap(true);
    keyboardNotice_ = new QLabel(this);
    keyboardNotice_->setObjectName("curtainKeyboardNotice");
    keyboardNotice_->setAlignment(Qt::AlignCenter);
    keyboardNotice_->setWordWrap(true);
    scanningLabel_ = new QLabel(this);
    scanningLabel_->setObjectName("curtainScanningLabel");
    scanningRow_ = statusRow(new CurtainSpinner(this), scanningLabel_, this);
    scanningRow_->setObjectName("curtainScanningRow");
    passwordField_ = new QLineEdit(this);
    passwordField_->setObjectName("curtainPasswordField");
    passwordField_->setEchoMode(QLineEdit::Password);
    passwordField_->setFixedWidth(260);
    checkingLabel_ = new QLabel(this);
    checkingLabel_->setObjectName("curtainCheckingLabel");
    checkingRow_ = statusRow(new CurtainSpinner(this), checkingLabel_, this);
    checkingRow_->setObjectName("curtainCheckingRow");
    usePasswordButton_ = makeButton("curtainUsePasswordButton", false);
    tryFaceAgainButton_ = makeButton("curtainTryFaceAgainButton", false);
    unlockButton_ = makeButton("curtainUnlockButton", true);
    useFaceButton_ = makeButton("curtainUseFaceButton", false);
    cancelButton_ = makeButton("curtainCancelButton", false);
    const QColor symbolColor(255, 255, 255, 230);
    usePasswordButton_->setIcon(CurtainGlyph::icon(CurtainGlyph::Symbol::key, symbolColor));
    tryFaceAgainButton_->setIcon(CurtainGlyph::icon(CurtainGlyph::Symbol::face, symbolColor));
    useFaceButton_->setIcon(CurtainGlyph::icon(CurtainGlyph::Symbol::face, symbolColor));
    for (auto* button : {usePasswordButton_, tryFaceAgainButton_, useFaceButton_}) {
        button->setIconSize(QSize(15, 15));
        button->setMinimumWidth(150);
    }

    auto* column = new QWidget(this);
    column_ = column;
    column->setFixedWidth(columnWidth);
    auto* layout = new QVBoxLayout(column);
    layout->setSpacing(14);
    layout->addWidget(glyph_, 0, Qt::AlignHCenter);
    layout->addSpacing(6);
    layout->addWidget(title_);
    layout->addWidget(subtitle_);
    layout->addWidget(keyboardNotice_);
    layout->addSpacing(6);
    layout->addWidget(scanningRow_);
    layout->addWidget(passwordField_, 0, Qt::AlignHCenter);
    layout->addWidget(checkingRow_);
    // Buttons fill rows of at most the column's width, in order; the longest languages take two.
    for (int i = 0; i < 3; ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        buttonRows_.append(row);
        layout->addLayout(row);
    }

    auto* outer = new QVBoxLayout(this);
    outer->addStretch();
    outer->addWidget(column, 0, Qt::AlignHCenter);
    outer->addStretch();
}

void LockCurtainView::arrangeButtons() {
    for (auto* row : buttonRows_)
        while (QLayoutItem* item = row->takeAt(0)) delete item;
    int rowIndex = 0, used = 0;
    const int spacing = buttonRows_.first()->spacing();
    const QMargins margins = column_->layout()->contentsMargins();
    const int available = columnWidth - margins.left() - margins.right();
    buttonRows_[0]->addStretch();
    for (auto* b : {usePasswordButton_, tryFaceAgainButton_, unlockButton_, useFaceButton_, cancelButton_}) {
        if (b->isHidden()) continue;
        b->ensurePolished();  // the style sheet's font and padding count
        const int width = std::max(b->sizeHint().width(), b->minimumWidth());
        if (used > 0 && used + spacing + width > available && rowIndex + 1 < buttonRows_.size()) {
            buttonRows_[rowIndex]->addStretch();
            buttonRows_[++rowIndex]->addStretch();
            used = 0;
        }
        buttonRows_[rowIndex]->addWidget(b);
        used += (used > 0 ? spacing : 0) + width;
    }
    buttonRows_[rowIndex]->addStretch();
}

void LockCurtainView::bind() {
    if (!model_) return;
    CurtainModel* m = model_;
    connect(usePasswordButton_, &QPushButton::clicked, m, &CurtainModel::usePassword);
    connect(tryFaceAgainButton_, &QPushButton::clicked, m, &CurtainModel::startFaceScan);
    connect(useFaceButton_, &QPushButton::clicked, m, &CurtainModel::startFaceScan);
    connect(unlockButton_, &QPushButton::clicked, m, &CurtainModel::submitPassword);
    connect(cancelButton_, &QPushButton::clicked, m, &CurtainModel::cancel);
    connect(passwordField_, &QLineEdit::returnPressed, m, &CurtainModel::submitPassword);
    connect(passwordField_, &QLineEdit::textEdited, m, &CurtainModel::setPasswordInput);
    for (auto signal : {&CurtainModel::messageChanged, &CurtainModel::attemptCountChanged})
        connect(m, signal, this, &LockCurtainView::refresh);
    connect(m, &CurtainModel::phaseChanged, this, [this] {
        refresh();
        // The field takes the keyboard on the next turn, once it is visible.
        if (CurtainModel* const current = model_; current && current->phase() == CurtainModel::Phase::password)
            QTimer::singleShot(0, passwordField_, [f = passwordField_] { f->setFocus(Qt::OtherFocusReason); });
    });
    connect(m, &CurtainModel::passwordInputChanged, this, &LockCurtainView::refreshPassword);
    connect(m, &CurtainModel::isVerifyingPasswordChanged, this, &LockCurtainView::refreshPassword);
    connect(m, &CurtainModel::keyboardHeldChanged, this, &LockCurtainView::refresh);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &LockCurtainView::retranslate);
}

void LockCurtainView::retranslate() {
    CurtainModel* const m = model_;
    const QString name = m ? m->appName() : QString();
    title_->setText(qL("curtain.locked").replace("%@", name));
    // Named for assistive technologies and window lists, though no window manager frames it.
    window()->setWindowTitle(title_->text());
    scanningLabel_->setText(qL("curtain.scanning"));
    checkingLabel_->setText(qL("curtain.checking"));
    passwordField_->setPlaceholderText(qL("curtain.masterPassword"));
    usePasswordButton_->setText(qL("curtain.usePassword"));
    tryFaceAgainButton_->setText(qL("curtain.tryFaceAgain"));
    unlockButton_->setText(qL("common.unlock"));
    useFaceButton_->setText(qL("curtain.useFace"));
    cancelButton_->setText(qL("common.cancel"));
    keyboardNotice_->setText(qL("curtain.keyboardElsewhere"));
    refresh();
}

void LockCurtainView::refresh() {
    CurtainModel* const m = model_;
    if (!m) return;
    using Phase = CurtainModel::Phase;
    const Phase phase = m->phase();
    glyph_->setSymbol(phase == Phase::scanning ? CurtainGlyph::Symbol::face
                      : phase == Phase::failed ? CurtainGlyph::Symbol::lockWarning
                                               : CurtainGlyph::Symbol::key);
    glyph_->setPulsing(phase == Phase::scanning);
    subtitle_->setText(m->displayedText());
    if (subtitle_->property("error").toBool() != m->messageIsError()) {
        subtitle_->setProperty("error", m->messageIsError());
        subtitle_->style()->unpolish(subtitle_);
        subtitle_->style()->polish(subtitle_);
    }
    keyboardNotice_->setVisible(!m->keyboardHeld());
    scanningRow_->setVisible(phase == Phase::scanning);
    usePasswordButton_->setVisible(phase != Phase::password && m->hasPassword());
    usePasswordButton_->setProperty("prominent", phase == Phase::failed);
    usePasswordButton_->style()->unpolish(usePasswordButton_);
    usePasswordButton_->style()->polish(usePasswordButton_);
    tryFaceAgainButton_->setVisible(phase == Phase::failed && m->hasFace());
    passwordField_->setVisible(phase == Phase::password);
    unlockButton_->setVisible(phase == Phase::password);
    useFaceButton_->setVisible(phase == Phase::password && m->hasFace());
    arrangeButtons();
    refreshPassword();
}

void LockCurtainView::refreshPassword() {
    CurtainModel* const m = model_;
    if (!m) return;
    const bool verifying = m->isVerifyingPassword();
    if (passwordField_->text() != m->passwordInput()) passwordField_->setText(m->passwordInput());
    // Keys reach the field only while the curtain holds the keyboard; otherwise they went to
    // another program too, and the field takes none.
    const bool canType = m->canTypePassword();
    // Disabling the field takes its focus away; give it back so the user can type again at once
    // after a refusal or when the keyboard comes back.
    const bool refocus = !passwordField_->isEnabled() && canType;
    passwordField_->setEnabled(canType);
    if (!m->keyboardHeld() && !m->passwordInput().isEmpty()) m->setPasswordInput({});
    if (refocus) passwordField_->setFocus(Qt::OtherFocusReason);
    checkingRow_->setVisible(verifying && m->phase() == CurtainModel::Phase::password);
    unlockButton_->setEnabled(canType && !m->passwordInput().isEmpty());
    // The column is as tall as its wrapped lines need, so no line slides into the glyph above it.
    column_->ensurePolished();
    column_->setFixedHeight(column_->layout()->totalHeightForWidth(columnWidth));
}

void LockCurtainView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    CurtainModel* const m = model_;
    if (started_ || !m) return;
    started_ = true;
    setFocus(Qt::OtherFocusReason);
    m->begin();
}

void LockCurtainView::keyPressEvent(QKeyEvent* event) {
    // Escape cancels in every phase; Return in the field submits (returnPressed).
    if (CurtainModel* const m = model_; m && event->key() == Qt::Key_Escape) {
        m->cancel();
        return;
    }
    QWidget::keyPressEvent(event);
}
