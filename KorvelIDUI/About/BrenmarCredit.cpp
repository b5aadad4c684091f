#include "About/BrenmarCredit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QGuiApplication>
#include <QImageReader>
#include <QPixmap>

#include "Localization/Localization.h"

// The resources of a static library are linked only when something names them.
static void useAboutResources() { Q_INIT_RESOURCE(About); }

namespace {
// Drawn from its vector form at the height the row asks for (sharp at any scale).
const QPixmap& logo(int height = 18) {
    static const QPixmap image = [height] {
        useAboutResources();
        QImageReader reader(QStringLiteral(":/BrenmarLogo.svg"));
        const QSize natural = reader.size();
        if (natural.isEmpty()) return QPixmap();
        const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
        const int h = qRound(height * ratio);
        reader.setScaledSize(QSize(natural.width() * h / natural.height(), h));
        QPixmap drawn = QPixmap::fromImage(reader.read());
        drawn.setDevicePixelRatio(ratio);
        return drawn;
    }();
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
        mark->setPixmap(logo(logoHeight));
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
