#include "About/BrenmarCredit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>

#include "Localization/Localization.h"

namespace {
const QPixmap& logo() {
    static const QPixmap image(QStringLiteral(":/BrenmarLogo.png"));
    return image;
}
}  // namespace

bool BrenmarCredit::hasLogo() { return !logo().isNull(); }

BrenmarCredit::BrenmarCredit(int logoHeight, QWidget* parent) : QWidget(parent) {
    credit_ = new QLabel;
    credit_->setForegroundRole(QPalette::PlaceholderText);
    QFont small = credit_->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    credit_->setFont(small);
    auto* mark = new QLabel;
    mark->setObjectName(QStringLiteral("brenmarMark"));
    if (hasLogo()) {
        mark->setPixmap(logo().scaledToHeight(logoHeight, Qt::SmoothTransformation));
    } else {
        mark->setText(QStringLiteral("Brenmar"));
        QFont bold = small;
        bold.setBold(true);
        mark->setFont(bold);
    }
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch();
    row->addWidget(credit_);
    row->addWidget(mark);
    row->addStretch();
    connect(&Localizer::shared(), &Localizer::languageChanged, this, &BrenmarCredit::retranslate);
    retranslate();
}

void BrenmarCredit::retranslate() { credit_->setText(qL("about.credit")); }
