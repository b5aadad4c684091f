#include "AppLock/AppLockRow.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "AppLock/AppLockModel.h"
#include "AppLock/AppLockSymbols.h"
#include "Localization/Localization.h"

AppLockRow::AppLockRow(ProtectedApp app, const QIcon& icon, QWidget* parent) : QWidget(parent), app_(std::move(app)) {
    setObjectName("appLockRow");
    auto* iconLabel = new QLabel(this);
    iconLabel->setObjectName("appLockRowIcon");
    iconLabel->setPixmap(icon.pixmap(28, 28));
    iconLabel->setFixedSize(28, 28);

    auto* name = new QLabel(QString::fromStdString(app_.name), this);
    name->setObjectName("appLockRowName");
    // Both come from a desktop entry anyone can install: shown as written, never as markup.
    name->setTextFormat(Qt::PlainText);
    auto* id = new QLabel(QString::fromStdString(app_.bundleIdentifier), this);
    id->setObjectName("appLockRowID");
    id->setTextFormat(Qt::PlainText);
    QFont caption = id->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    id->setFont(caption);
    id->setForegroundRole(QPalette::PlaceholderText);
    auto* text = new QVBoxLayout;
    text->setSpacing(1);
    text->addWidget(name);
    text->addWidget(id);

    gracePicker_ = new QComboBox(this);
    gracePicker_->setObjectName("appLockGracePicker");

    // activated: only the user's choice, never the programmatic selection below.
    connect(gracePicker_, &QComboBox::activated, this, [this](int index) {
        const auto& options = AppLockModel::graceOptions();
        if (index >= 0 && index < static_cast<int>(options.size()))
            Q_EMIT graceChangeRequested(options[static_cast<std::size_t>(index)]);
    });

    removeButton_ = new QToolButton(this);
    removeButton_->setObjectName("appLockRemoveButton");
    removeButton_->setIcon(AppLockSymbols::trash());
    removeButton_->setAutoRaise(true);
    connect(removeButton_, &QToolButton::clicked, this, &AppLockRow::removeRequested);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 6, 6, 6);
    layout->setSpacing(10);
    layout->addWidget(iconLabel);
    layout->addLayout(text);
    layout->addStretch();
    layout->addWidget(gracePicker_);
    layout->addWidget(removeButton_);

    retranslate();
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &AppLockRow::retranslate);
}

void AppLockRow::retranslate() {
    const auto& options = AppLockModel::graceOptions();
    gracePicker_->clear();
    int widest = 0;
    for (auto seconds : options) {
        gracePicker_->addItem(AppLockModel::graceLabel(seconds));
        widest = std::max(widest, gracePicker_->fontMetrics().horizontalAdvance(gracePicker_->itemText(gracePicker_->count() - 1)));
    }
    // As wide as the longest choice in the current language needs, never narrower than 140.
    QStyleOptionComboBox opt;
    opt.initFrom(gracePicker_);
    const QSize needed = gracePicker_->style()->sizeFromContents(QStyle::CT_ComboBox, &opt,
                                                                 QSize(widest, gracePicker_->fontMetrics().height()), gracePicker_);
    gracePicker_->setFixedWidth(std::max(140, needed.width()));
    // A stored value that is not offered (120 s written by hand) selects nothing.
    const auto at = std::find(options.begin(), options.end(), app_.graceSeconds);
    gracePicker_->setCurrentIndex(at == options.end() ? -1 : static_cast<int>(at - options.begin()));
    removeButton_->setToolTip(qL("common.remove"));
}
