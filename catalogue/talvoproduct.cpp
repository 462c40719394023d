#include "catalogue/talvoproduct.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "catalogue/productrow.h"

namespace {
constexpr int pictureHeight = 112;
} // namespace

TalvoProduct::TalvoProduct(const QJsonObject &product, QObject *parent)
    : AbstractProduct(product, parent)
{
}

void TalvoProduct::setHighlighted(bool on)
{
    if (row)
        row->setHighlightColor(on);
}

void TalvoProduct::setImage(QImage image)
{
    QLabel *label = nullptr;
    if (imageWidget && imageWidget->layout() && imageWidget->layout()->itemAt(0))
        label = qobject_cast<QLabel *>(imageWidget->layout()->itemAt(0)->widget());
    storeImage(image, pictureHeight, label);
}

QWidget *TalvoProduct::createImageWidget()
{
    if (imageWidget)
        return imageWidget;
    {
        QMutexLocker locker(&imagesMutex);
        if (images.isEmpty())
            return nullptr;
    }
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
    QFont font = label->font();
    const QString family = QFontDatabase::applicationFontFamilies(1).value(0);
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPointSize(12);
    label->setFont(font);
    label->setAlignment(Qt::AlignTop);
    layout->addWidget(label);

    descriptionWidget = widget;
    return descriptionWidget;
}

void TalvoProduct::createRow(QWidget *parent, QButtonGroup *group)
{
    row = new ProductRow(this, group, parent);
}

void TalvoProduct::rawMediaIdChanged(const QString &rawMediaId, const QString &sku,
                                     const ProductTypeEnum &productType)
{
    if (row)
        row->updateStatusText(statusNames.value(currentSubscriptionStatus(rawMediaId, sku, productType)));
}
