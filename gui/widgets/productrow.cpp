#include "widgets/productrow.h"

#include <QFontMetrics>
#include <QLayout>
#include <QMouseEvent>
#include <QResizeEvent>

#include "base/utilities.h"
#include "widgets/abstractproduct.h"
#include "ui_productrow.h"

ProductRow::ProductRow(AbstractProduct *product, QButtonGroup *group, QWidget *parent)
    : QFrame(parent)
    , ui(new Ui::ProductRow)
    , product(product)
{
    ui->setupUi(this);
    // One name per product, so a row can be found by what it shows.
    setObjectName(QStringLiteral("productRow_") + product->sku.trimmed());
    // The name's width comes from nested layouts that settle after the row's
    // own resize; its own resize is where the final width is known.
    ui->productName->installEventFilter(this);

    setLabelElideText(ui->productName, ui->productName->width(), product->name);
    // RQ chart names are padded with blanks in front; the padding is data.
    ui->productSku->setText(product->sku.trimmed());
    ui->productSize->setText(Utilities::kbToReadable(product->sizeInKb, QString(), true));
    ui->productStatus->setText(QStringLiteral("Not Owned"));

    if (group)
        group->addButton(ui->radioButton, product->productId);
    connect(this, &ProductRow::highlightClick, product, &AbstractProduct::highlighted);
    if (parent && parent->layout())
        parent->layout()->addWidget(this);
}

ProductRow::~ProductRow()
{
    delete ui;
}

void ProductRow::setLabelElideText(QLabel *label, int width, const QString &text)
{
    const QString shown = QFontMetrics(label->font()).elidedText(text, Qt::ElideRight, width);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

void ProductRow::updateStatusText(const QString &text)
{
    setLabelElideText(ui->productStatus, ui->productStatus->width(), text);
}

void ProductRow::setHighlightColor(bool on)
{
    setStyleSheet(on ? QStringLiteral("background-color: #FDB924") : QString());
    product->rowHighlighted = on;
}

void ProductRow::setSelected(bool on)
{
    product->selected = on;
    ui->radioButton->setChecked(on);
}

void ProductRow::mousePressEvent(QMouseEvent *event)
{
    pressed();
    QFrame::mousePressEvent(event);
}

void ProductRow::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    setLabelElideText(ui->productName, ui->productName->width(), product->name);
}

bool ProductRow::eventFilter(QObject *watched, QEvent *event)
{
    // A style sheet (the row's own upper case, the window's rules) may change
    // the font after the width settled; the cut must follow either.
    if (watched == ui->productName
        && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange))
        setLabelElideText(ui->productName, ui->productName->width(), product->name);
    return QFrame::eventFilter(watched, event);
}

void ProductRow::on_radioButton_pressed()
{
    pressed();
}

void ProductRow::pressed()
{
    // A highlighted row is already the choice; a disabled one belongs to a
    // line whose download is running.
    if (!product->rowHighlighted && !product->disabled)
        emit highlightClick();
}
