#pragma once

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QHash>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QTextLayout>
#include <QTreeView>

#include <algorithm>
#include <cmath>

// What a user could not read in a rendered window: texts cut by their widget, and
// enabled label texts fainter than 4.5:1 (body text) against what is behind them.
// Labels that cut their text on purpose show an ellipsis and carry it as tooltip.
namespace Readability {

inline double luminance(QRgb rgb)
{
    auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
}

// The background is the area's commonest colour; the text, the one standing out most.
inline double textContrast(const QImage &area)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < area.height(); ++y)
        for (int x = 0; x < area.width(); ++x)
            ++counts[area.pixel(x, y) | 0xff000000];
    const auto background = std::max_element(counts.cbegin(), counts.cend());
    double best = 21.0 * (counts.size() < 2);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        const double a = luminance(background.key()), b = luminance(it.key());
        best = std::max(best, (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05));
    }
    return best;
}

// The room a tab's text needs, padding and all, as its style measures it.
inline int tabWidthNeeded(QTabBar *tabs, int index)
{
    QStyleOptionTab option;
    option.initFrom(tabs);
    option.shape = tabs->shape();
    option.text = tabs->tabText(index);
    const QSize text(tabs->fontMetrics().horizontalAdvance(option.text), tabs->fontMetrics().height());
    return tabs->style()->sizeFromContents(QStyle::CT_TabBarTab, &option, text, tabs).width();
}

// Cut by what holds it: a widget reaching out of an ancestor's rectangle is
// not shown there, whatever room its own size gives its text. What sits in a
// scroll area scrolls into view and counts as shown.
inline bool outsideItsParents(QWidget *widget, QWidget *top)
{
    QRect rect = widget->rect();
    for (QWidget *at = widget; at != top && at->parentWidget(); at = at->parentWidget()) {
        QWidget *parent = at->parentWidget();
        auto *area = qobject_cast<QAbstractScrollArea *>(parent->parentWidget());
        if (area && area->viewport() == parent)
            return false;
        rect.translate(at->pos());
        if (!parent->rect().contains(rect))
            return true;
    }
    return false;
}

// A wrapping label breaks lines between words only: a word longer than the
// line (a path) runs past its edge, though its size hints say it fits.
inline bool wordLongerThanLine(QLabel *label)
{
    if (label->textFormat() == Qt::RichText || Qt::mightBeRichText(label->text()))
        return false;
    const int width = label->contentsRect().width() - 2 * std::max(label->margin(), 0);
    QTextLayout layout(label->text(), label->font());
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    bool longer = false;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        longer = longer || line.naturalTextWidth() > width;
    }
    layout.endLayout();
    return longer;
}

inline QStringList problems(QWidget *top)
{
    QStringList found;
    // Before the picture: taking it lays out what is pending, which a
    // window on screen is not asked to do.
    for (QLabel *label : top->findChildren<QLabel *>()) {
        if (label->isVisible() && !label->text().isEmpty() && outsideItsParents(label, top))
            found << QStringLiteral("cut: %1 \"%2\" reaches out of what holds it")
                         .arg(label->objectName(), label->text());
    }
    const QImage shot = top->grab().toImage();
    for (QWidget *widget : top->findChildren<QWidget *>()) {
        if (!widget->isVisible() || widget->visibleRegion().isEmpty())
            continue;
        const QString name = widget->objectName().isEmpty()
            ? QString::fromLatin1(widget->metaObject()->className())
            : widget->objectName();
        auto *label = qobject_cast<QLabel *>(widget);
        auto *button = qobject_cast<QAbstractButton *>(widget);
        const QString text = label ? label->text() : button ? button->text() : QString();
        if (label && !text.isEmpty() && label->pixmap().isNull()) {
            const bool elidedOnPurpose = text.contains(QChar(0x2026)) && !label->toolTip().isEmpty();
            if (label->wordWrap() ? label->heightForWidth(label->width()) > label->height()
                                        || wordLongerThanLine(label)
                                  : !elidedOnPurpose && label->sizeHint().width() > label->width())
                found << QStringLiteral("cut: %1 \"%2\"").arg(name, text);
            if (!widget->isEnabled())
                continue;
            const QRect area = widget->visibleRegion().boundingRect().intersected(widget->contentsRect());
            const QRect onShot(
                QPointF(widget->mapTo(top, area.topLeft()) * shot.devicePixelRatio()).toPoint(),
                area.size() * shot.devicePixelRatio());
            const double ratio = textContrast(shot.copy(onShot));
            if (ratio < 4.5)
                found << QStringLiteral("faint (%1:1): %2 \"%3\"").arg(ratio, 0, 'f', 1).arg(name, text);
        } else if (button && !text.isEmpty() && button->sizeHint().width() > button->width()) {
            found << QStringLiteral("cut: %1 \"%2\"").arg(name, text);
        } else if (auto *tabs = qobject_cast<QTabBar *>(widget)) {
            for (int i = 0; i < tabs->count(); ++i)
                if (tabWidthNeeded(tabs, i) > tabs->tabRect(i).width())
                    found << QStringLiteral("cut: tab \"%1\"").arg(tabs->tabText(i));
        } else if (auto *combo = qobject_cast<QComboBox *>(widget); combo && !combo->isEditable()) {
            QStyleOptionComboBox option;
            option.initFrom(combo);
            const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                               QStyle::SC_ComboBoxEditField, combo);
            if (combo->fontMetrics().horizontalAdvance(combo->currentText()) > field.width())
                found << QStringLiteral("cut: %1 \"%2\"").arg(name, combo->currentText());
        } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
            if (edit->text().isEmpty()
                && edit->fontMetrics().horizontalAdvance(edit->placeholderText())
                    > edit->contentsRect().width() - 8)
                found << QStringLiteral("cut: placeholder of %1 \"%2\"").arg(name, edit->placeholderText());
        } else if (auto *view = qobject_cast<QTreeView *>(widget)) {
            for (int column = 0; column < view->header()->count(); ++column)
                if (!view->isColumnHidden(column)
                    && static_cast<QAbstractItemView *>(view)->sizeHintForColumn(column)
                        > view->columnWidth(column))
                    found << QStringLiteral("cut: column %1 of %2").arg(column).arg(name);
        }
    }
    return found;
}

} // namespace Readability
