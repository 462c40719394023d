#include "widgets/velmoraproduct.h"

#include <QLabel>
#include <QTextDocument>
#include <QVBoxLayout>


namespace {
constexpr int pictureHeight = 112;

} // namespace

VelmoraProduct::VelmoraProduct(const QJsonObject &product, QObject *parent)
    : AbstractProduct(product, parent)
{
}

void VelmoraProduct::setHighlighted(bool on)
{
    highlightRow(on);
}

void VelmoraProduct::setImage(QImage image)
{
    auto *label = qobject_cast<QLabel *>(imageWidget.data());
    if (label)
        label->setStyleSheet(QStringLiteral("border: 2px solid #505050;"));
    storeImage(image, pictureHeight, label);
}

QWidget *VelmoraProduct::createImageWidget()
{
    if (imageWidget)
        return imageWidget;
    if (!hasImageSlot())
        return nullptr;
    auto *label = new QLabel;
    label->setFixedSize(395, 112);
    imageWidget = label;
    showFirstImage(label);
    return imageWidget;
}

QWidget *VelmoraProduct::createDescriptionWidget(int extraHeight)
{
    if (descriptionWidget)
        return descriptionWidget;

    auto *widget = new QWidget;
    widget->setMinimumSize(388, extraHeight + 123);
    widget->setMaximumWidth(388);
    widget->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(11, 11, 11, 8);
    layout->setSpacing(10);

    const QString labelStyle = QStringLiteral("QLabel { color : black; }");

    auto *bylineLabel = new QLabel(byline, widget);
    bylineLabel->setStyleSheet(labelStyle);
    bylineLabel->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    bylineLabel->setWordWrap(true);
    bylineLabel->setAlignment(Qt::AlignTop);
    bylineLabel->setFont(applicationFont(0, bylineLabel->font()));
    layout->addWidget(bylineLabel);

    auto *descriptionLabel = new QLabel(widget);
    descriptionLabel->setFont(applicationFont(1, descriptionLabel->font()));
    // The document writes its default font into the HTML; left at the
    // application's, it would override the label's larger one.
    QTextDocument document;
    document.setDefaultFont(descriptionLabel->font());
    // Lists in the service's descriptions come with a deep default indent
    // that wastes most of the narrow pane.
    document.setDefaultStyleSheet(QStringLiteral("ul{padding-left:10px;margin-left:10px;-qt-list-indent:0}"));
    document.setHtml(description);

    descriptionLabel->setTextFormat(Qt::RichText);
    descriptionLabel->setText(document.toHtml());
    descriptionLabel->setStyleSheet(labelStyle);
    descriptionLabel->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    descriptionLabel->setWordWrap(true);
    descriptionLabel->setAlignment(Qt::AlignTop);
    descriptionLabel->setOpenExternalLinks(true);
    layout->addWidget(descriptionLabel);

    descriptionWidget = widget;
    return descriptionWidget;
}

void VelmoraProduct::createRow(QWidget *parent, QButtonGroup *group)
{
    createProductRow(parent, group);
}

void VelmoraProduct::rawMediaIdChanged(const QString &rawMediaId, const QString &sku,
                                       const ProductTypeEnum &productType)
{
    showStatusInRow(rawMediaId, sku, productType);
}
