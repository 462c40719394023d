#include "widgets/productrow.h"
#include "ui_productrow.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QResizeEvent>

#include "base/utilities.h"

ProductRow::ProductRow(const Product &product, QWidget *parent)
    : QFrame(parent)
    , ui(new Ui::ProductRow)
{
    ui->setupUi(this);
    // The row, not its radio button, takes the keyboard: Up and Down move
    // through the list, Space and Enter choose.
    setFocusPolicy(Qt::StrongFocus);
    // The name's width comes from nested layouts that settle after the row's
    // own resize; its own resize is where the final width is known.
    ui->productName->installEventFilter(this);
    connect(ui->radioButton, &QAbstractButton::pressed, this, &ProductRow::press);
    // The button only shows whether the row is the choice: a click on it
    // must not turn it off by itself (it has no group to keep it on).
    connect(ui->radioButton, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != highlighted)
            ui->radioButton->setChecked(highlighted);
    });
    setProduct(product);
    setStatusText(QStringLiteral("Not Owned"));
}

ProductRow::~ProductRow()
{
    delete ui;
}

void ProductRow::setProduct(const Product &product)
{
    item = product;
    // One name per product, so a row can be found by what it shows.
    setObjectName(QStringLiteral("productRow_") + item.sku.trimmed());
    setElided(ui->productName, item.name);
    // RQ chart names are padded with blanks in front; the padding is data.
    ui->productSku->setText(item.sku.trimmed());
    ui->productSize->setText(Utilities::kbToReadable(item.sizeInKb, QString(), true));
}

QAbstractButton *ProductRow::button() const
{
    return ui->radioButton;
}

void ProductRow::setElided(QLabel *label, const QString &text)
{
    const QString shown = QFontMetrics(label->font()).elidedText(text, Qt::ElideRight, label->width());
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

void ProductRow::setStatusText(const QString &text)
{
    status = text;
    setElided(ui->productStatus, text);
}

void ProductRow::setHighlighted(bool on)
{
    highlighted = on;
    setStyleSheet(on ? QStringLiteral("background-color: #FDB924") : QString());
    ui->radioButton->setChecked(on);
}

void ProductRow::setLocked(bool on)
{
    locked = on;
    ui->radioButton->setDisabled(on);
}

void ProductRow::mousePressEvent(QMouseEvent *event)
{
    press();
    QFrame::mousePressEvent(event);
}

void ProductRow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Up:
        emit focusStep(-1);
        return;
    case Qt::Key_Down:
        emit focusStep(1);
        return;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        press();
        return;
    default:
        QFrame::keyPressEvent(event);
    }
}

void ProductRow::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    setElided(ui->productName, item.name);
    setElided(ui->productStatus, status);
}

bool ProductRow::eventFilter(QObject *watched, QEvent *event)
{
    // A style sheet (the row's own upper case, the window's rules) may change
    // the font after the width settled; the cut must follow either.
    if (watched == ui->productName && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange))
        setElided(ui->productName, item.name);
    return QFrame::eventFilter(watched, event);
}

void ProductRow::press()
{
    // A highlighted row is already the choice; a locked one belongs to a
    // line whose job is running.
    if (!highlighted && !locked)
        emit chosen(item.productId);
}
