#include "widgets/talvoproduct.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>


namespace {
constexpr int pictureHeight = 112;
} // namespace

TalvoProduct::TalvoProduct(const QJsonObject &product, QObject *parent)
    : AbstractProduct(product, parent)
{
}

void TalvoProduct::setHighlighted(bool on)
{
    highlightRow(on);
}

void TalvoProduct::setImage(QImage image)
{
    storeImage(image, pictureHeight, firstLabelOf(imageWidget));
}

QWidget *TalvoProduct::createImageWidget()
{
    if (imageWidget)
        return imageWidget;
    if (!hasImageSlot())
        return nullptr;
    auto *widget = new QWidget;
    widget->setFixedSize(395, 102);
    auto *layout = new QHBoxLayout(widget);
    layout->setContentsMargins(11, 11, 11, 11);
    layout->setSpacing(0);
    auto *label = new QLabel(widget);
    label->setFixedSize(117, 80);
    layout->addWidget(label);
    layout->addStretch();
    imageWidget = widget;
    showFirstImage(label);
    return imageWidget;
}

QWidget *TalvoProduct::createDescriptionWidget(int extraHeight)
{
    if (descriptionWidget)
        return descriptionWidget;

    auto *widget = new QWidget;
    widget->setMinimumSize(399, extraHeight + 130);
    widget->setMaximumWidth(399);
    widget->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(11, 0, 11, 0);

    auto *label = new QLabel(description, widget);
    label->setStyleSheet(QStringLiteral("QLabel { color : black; }"));
    label->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    label->setWordWrap(true);
    label->setFont(applicationFont(1, label->font()));
    label->setAlignment(Qt::AlignTop);
    layout->addWidget(label);

    descriptionWidget = widget;
    return descriptionWidget;
}

void TalvoProduct::createRow(QWidget *parent, QButtonGroup *group)
{
    createProductRow(parent, group);
}

void TalvoProduct::rawMediaIdChanged(const QString &rawMediaId, const QString &sku,
                                     const ProductTypeEnum &productType)
{
    showStatusInRow(rawMediaId, sku, productType);
}
