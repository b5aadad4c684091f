#include "TextFits.h"

#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOption>
#include <QTabBar>
#include <QTest>

#include <optional>
#include <QToolButton>

#include "Localization/Localization.h"
#include "Shell/QtTexts.h"

namespace TextFits {
namespace {
QRect inWindow(const QWidget* w, const QWidget& window) { return {w->mapTo(&window, QPoint(0, 0)), w->size()}; }

std::string describe(const QWidget* w, const QString& text) {
    const QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
    return QStringLiteral("%1 \"%2\"").arg(name, text.left(60)).toStdString();
}

std::string sizes(QSize need, QSize have) {
    return QStringLiteral(" needs %1×%2, has %3×%4").arg(need.width()).arg(need.height()).arg(have.width()).arg(have.height()).toStdString();
}

// What a push button's text and icon need, without the style's minimum width for text buttons.
QSize pushButtonNeeds(const QPushButton* b) {
    QStyleOptionButton opt;
    opt.initFrom(b);
    opt.icon = b->icon();
    opt.iconSize = b->iconSize();
    if (b->isFlat()) opt.features |= QStyleOptionButton::Flat;
    if (b->autoDefault()) opt.features |= QStyleOptionButton::AutoDefaultButton;
    if (b->menu()) opt.features |= QStyleOptionButton::HasMenu;
    QSize content = b->fontMetrics().size(Qt::TextShowMnemonic, b->text());
    if (!b->icon().isNull()) content = {content.width() + b->iconSize().width() + 4, std::max(content.height(), b->iconSize().height())};
    return b->style()->sizeFromContents(QStyle::CT_PushButton, &opt, content, b);
}

std::optional<std::string> labelMisfit(const QLabel* l) {
    if (l->text().isEmpty()) return std::nullopt;
    const int m = l->margin();
    const QRect room = l->contentsRect().adjusted(m, m, -m, -m);
    QSize need;
    if (l->textFormat() == Qt::RichText || (l->textFormat() == Qt::AutoText && Qt::mightBeRichText(l->text()))) {
        need = l->wordWrap() ? QSize(room.width(), l->heightForWidth(l->width())) : l->sizeHint();
    } else {
        const int flags = int(l->alignment()) | (l->wordWrap() ? Qt::TextWordWrap : 0);
        need = l->fontMetrics().boundingRect(room, flags, l->text()).size();
    }
    if (need.width() <= room.width() && need.height() <= room.height()) return std::nullopt;
    return describe(l, l->text()) + sizes(need, room.size());
}

std::optional<std::string> textMisfit(const QWidget* w) {
    if (const auto* l = qobject_cast<const QLabel*>(w)) return labelMisfit(l);
    QSize need, have = w->size();
    QString text;
    if (const auto* b = qobject_cast<const QPushButton*>(w)) {
        if (b->text().isEmpty()) return std::nullopt;
        text = b->text();
        need = pushButtonNeeds(b);
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
        if (button->text().isEmpty() || (qobject_cast<const QToolButton*>(w) &&
                                         static_cast<const QToolButton*>(w)->toolButtonStyle() == Qt::ToolButtonIconOnly))
            return std::nullopt;
        text = button->text();
        need = button->sizeHint();
    } else if (const auto* c = qobject_cast<const QComboBox*>(w)) {
        // Each entry against the field it is painted in (the combo box elides what does not fit).
        QStyleOptionComboBox opt;
        opt.initFrom(c);
        opt.editable = c->isEditable();
        opt.frame = c->hasFrame();
        have = {c->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c).width(), 0};
        for (int i = 0; i < c->count(); ++i) {
            int width = c->fontMetrics().horizontalAdvance(c->itemText(i));
            if (!c->itemIcon(i).isNull()) width += c->iconSize().width() + 4;
            if (width > need.width()) {
                need = {width, 0};
                text = c->itemText(i);
            }
        }
    } else if (const auto* g = qobject_cast<const QGroupBox*>(w)) {
        text = g->title();
        need = g->minimumSizeHint();
    } else if (const auto* t = qobject_cast<const QTabBar*>(w)) {
        for (int i = 0; i < t->count(); ++i) text += t->tabText(i) + ' ';
        need = {t->sizeHint().width(), 0};
    } else if (const auto* e = qobject_cast<const QLineEdit*>(w)) {
        if (!e->text().isEmpty() || e->placeholderText().isEmpty()) return std::nullopt;
        QStyleOptionFrame opt;
        opt.initFrom(e);
        opt.rect = e->rect();
        opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e) : 0;
        const QMargins margins = e->textMargins();
        text = e->placeholderText();
        have = e->style()->subElementRect(QStyle::SE_LineEditContents, &opt, e).size() -
               QSize(margins.left() + margins.right() + 4, 0);  // the field's own 2-pixel side margins
        need = {e->fontMetrics().horizontalAdvance(text), 0};
    } else {
        return std::nullopt;
    }
    if (need.width() <= have.width() && need.height() <= have.height()) return std::nullopt;
    return describe(w, text) + sizes(need, have);
}
}  // namespace

std::vector<std::string> misfits(QWidget& window) {
    std::vector<std::string> found;
    struct Leaf {
        const QWidget* widget;
        QRect shown;
    };
    std::vector<Leaf> leaves;
    for (const QWidget* w : window.findChildren<QWidget*>()) {
        if (w->isWindow() || w->window() != &window || !w->isVisibleTo(&window)) continue;
        if (auto why = textMisfit(w)) found.push_back(*why);
        // What is left of it inside its parents and the window; content of a scroll area may be
        // scrolled away, anything else cut off is clipped.
        const QRect full = inWindow(w, window);
        QRect shown = full;
        bool scrolls = false;
        for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget()) {
            shown &= inWindow(p, window);
            if (const auto* area = qobject_cast<const QAbstractScrollArea*>(p->parentWidget()); area && area->viewport() == p) scrolls = true;
            if (p == &window) break;
        }
        if (shown != full && !scrolls) found.push_back(describe(w, QString()) + " is cut off by its parent");
        bool leaf = true;
        for (const QWidget* child : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!child->isWindow() && child->isVisibleTo(&window)) leaf = false;
        if (leaf && !shown.isEmpty()) leaves.push_back({w, shown.adjusted(1, 1, -1, -1)});
    }
    for (std::size_t i = 0; i < leaves.size(); ++i)
        for (std::size_t j = i + 1; j < leaves.size(); ++j)
            if (leaves[i].shown.intersects(leaves[j].shown))
                found.push_back(describe(leaves[i].widget, QString()) + " overlaps " + describe(leaves[j].widget, QString()));
    return found;
}

void expectFitsInEveryLanguage(QWidget& window, const std::string& name) {
    const char* dir = std::getenv("KORVEL_SCREENSHOT_DIR");
    followLanguageInQtTexts();  // standard buttons in the language, as the program shows them
    for (AppLanguage language : allLanguages()) {
        Localizer::shared().setLanguage(language);
        window.show();
        // Layouts settle over a few posted-event rounds (a relabelled widget asks its parent again),
        // more of them on a busy machine: what still misfits after half a second is real.
        std::vector<std::string> found;
        for (int round = 0; round < 8 && (round < 4 || !found.empty()); ++round) {
            QTest::qWait(round < 4 ? 10 : 100);
            found = misfits(window);
        }
        const std::string tag = name + "-" + rawValue(language);
        std::string report;
        for (const auto& line : found) report += "\n  " + line;
        EXPECT_TRUE(report.empty()) << tag << ":" << report;
        if (dir) QTest::qWait(500);  // animations settle before the picture
        if (dir) window.grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QString::fromStdString(tag) + ".png"));
    }
    Localizer::shared().setLanguage(AppLanguage::english);
}
}  // namespace TextFits
