#include "LockScreen/KorvelIDLockScreen.h"

#include "Common/ImageBlur.h"
#include "Common/SymbolPainter.h"
#include "Common/SymbolView.h"
#include "Localization/Localization.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// The accent colour, the same whether or not the window is active.
QColor tintColor(const QWidget& widget) { return widget.palette().color(QPalette::Active, QPalette::Highlight); }

QFont sizedFont(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

}  // namespace

KorvelIDLockScreen::KorvelIDLockScreen(QString title, QString subtitle, std::function<void()> onUnlock,
                                       std::function<void()> onCancel, LockScreenModel::UnlockFunction unlock,
                                       QWidget* parent)
    : QWidget(parent),
      title_(std::move(title)),
      subtitle_(std::move(subtitle)),
      onUnlock_(std::move(onUnlock)),
      onCancel_(std::move(onCancel)),
      model_(std::move(unlock)) {
    setObjectName("korvelIDLockScreen");
    setAttribute(Qt::WA_TranslucentBackground);
    build();
    connect(&model_, &LockScreenModel::changed, this, &KorvelIDLockScreen::refresh);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &KorvelIDLockScreen::refresh);
    connect(&model_, &LockScreenModel::approved, this, [this] {
        if (onUnlock_) onUnlock_();
    });
    refresh();
}

void KorvelIDLockScreen::build() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 40, 40, 40);
    column->setSpacing(20);
    column->addStretch(1);

    symbol_ = new SymbolView("faceid", 96, 44, this);
    symbol_->setObjectName("lockSymbol");
    QColor fill = tintColor(*this);
    fill.setAlphaF(0.12f);
    symbol_->setCircleFill(fill);
    symbol_->setColor(tintColor(*this));
    column->addWidget(symbol_, 0, Qt::AlignHCenter);

    titleLabel_ = new QLabel(this);
    titleLabel_->setObjectName("lockTitle");
    titleLabel_->setFont(sizedFont(20, QFont::Bold));
    titleLabel_->setAlignment(Qt::AlignCenter);
    column->addWidget(titleLabel_);

    statusLabel_ = new QLabel(this);
    statusLabel_->setObjectName("lockStatus");
    statusLabel_->setFont(sizedFont(13, QFont::Normal));
    statusLabel_->setAlignment(Qt::AlignCenter);
    statusLabel_->setWordWrap(true);
    column->addWidget(statusLabel_);

    unlockButton_ = new QPushButton(this);
    unlockButton_->setObjectName("unlockButton");
    unlockButton_->setMinimumWidth(180);
    unlockButton_->setMinimumHeight(32);
    unlockButton_->setIcon(SymbolPainter::icon("faceid", 16, Qt::white));
    unlockButton_->setDefault(true);
    // Prominent: filled with the accent colour, white text, dimmed while disabled.
    unlockButton_->setStyleSheet(QString("QPushButton { background: %1; color: white; border: none; border-radius: 6px;"
                                         " padding: 6px 16px; font-weight: 600; }"
                                         "QPushButton:disabled { background: %2; color: rgba(255,255,255,0.8); }")
                                     .arg(tintColor(*this).name(), tintColor(*this).lighter(140).name()));
    connect(unlockButton_, &QPushButton::clicked, &model_, &LockScreenModel::runUnlock);
    column->addWidget(unlockButton_, 0, Qt::AlignHCenter);

    cancelButton_ = new QPushButton(this);
    cancelButton_->setObjectName("cancelButton");
    cancelButton_->setFlat(true);
    cancelButton_->setFont(sizedFont(12, QFont::Normal));
    cancelButton_->setVisible(static_cast<bool>(onCancel_));
    connect(cancelButton_, &QPushButton::clicked, this, [this] {
        if (onCancel_) onCancel_();
    });
    column->addWidget(cancelButton_, 0, Qt::AlignHCenter);
    column->addStretch(1);
}

void KorvelIDLockScreen::refresh() {
    const bool scanning = model_.status() == LockScreenModel::Status::scanning;
    symbol_->setSymbol(model_.symbolName());
    symbol_->setPulsing(scanning);
    titleLabel_->setText(title_);
    statusLabel_->setText(model_.statusLine(subtitle_));
    unlockButton_->setText(model_.buttonText());
    cancelButton_->setText(qL("common.cancel"));
    unlockButton_->setEnabled(model_.isButtonEnabled());
    unlockButton_->setVisible(model_.offersFace());
}

void KorvelIDLockScreen::setTitle(const QString& title) {
    title_ = title;
    refresh();
}

void KorvelIDLockScreen::setSubtitle(const QString& subtitle) {
    subtitle_ = subtitle;
    refresh();
}

void KorvelIDLockScreen::setOnCancel(std::function<void()> onCancel) {
    onCancel_ = std::move(onCancel);
    cancelButton_->setVisible(static_cast<bool>(onCancel_));
}

void KorvelIDLockScreen::showEvent(QShowEvent*) {
    // The first appearance starts a scan, after the screen has been painted once.
    if (appeared_) return;
    appeared_ = true;
    QTimer::singleShot(0, &model_, &LockScreenModel::runUnlock);
}

void KorvelIDLockScreen::setBackdrop(const QImage& backdrop) {
    backdrop_ = backdrop;
    blurredBackdrop_ = ImageBlur::blurred(backdrop_, std::max(backdropBlur_, 0.0));
    update();
}

void KorvelIDLockScreen::setBackdropBlur(double radius) {
    // Steps of a quarter pixel are invisible; skip the work for them.
    if (std::abs(radius - backdropBlur_) < 0.25) return;
    backdropBlur_ = radius;
    blurredBackdrop_ = ImageBlur::blurred(backdrop_, radius);
    update();
}

void KorvelIDLockScreen::paintEvent(QPaintEvent*) {
    // A thin veil of the window colour over the blurred content (or over whatever lies beneath).
    QPainter p(this);
    QColor veil = palette().color(QPalette::Window);
    if (!blurredBackdrop_.isNull()) {
        p.fillRect(rect(), veil);
        p.drawImage(QPointF(0, 0), blurredBackdrop_);
    }
    veil.setAlphaF(blurredBackdrop_.isNull() ? 0.55f : 0.35f);
    p.fillRect(rect(), veil);
}
