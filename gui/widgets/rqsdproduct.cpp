#include "widgets/rqsdproduct.h"

#include <QLabel>
#include <QVBoxLayout>

#include "widgets/productrow.h"
#include "card/mikfile.h"

namespace {
constexpr int pictureHeight = 220;
} // namespace

RqSdProduct::RqSdProduct(const QJsonObject &product, QObject *parent)
    : AbstractProduct(product, parent)
    , buildNumber(product.value(QStringLiteral("build_number")).toInt(0))
    , buildCode(product.value(QStringLiteral("build_code")).toInt(0))
{
    productType = RqSd;
}

void RqSdProduct::setHighlighted(bool on)
{
    highlightRow(on);
}

void RqSdProduct::setImage(QImage image)
{
    storeImage(image, pictureHeight, firstLabelOf(imageWidget));
}

QWidget *RqSdProduct::createImageWidget()
{
    if (imageWidget)
        return imageWidget;
    if (!hasImageSlot())
        return nullptr;
    auto *widget = new QWidget;
    widget->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 10, 0, 0);
    auto *label = new QLabel(widget);
    layout->addWidget(label);
    layout->addStretch();
    imageWidget = widget;
    showFirstImage(label);
    return imageWidget;
}

QWidget *RqSdProduct::createDescriptionWidget(int extraHeight)
{
    Q_UNUSED(extraHeight);
    if (!descriptionWidget)
        descriptionWidget = new QWidget;
    return descriptionWidget;
}

void RqSdProduct::createRow(QWidget *parent, QButtonGroup *group)
{
    createProductRow(parent, group);
}

AbstractProduct::ChartUpdateStatus RqSdProduct::getStatus(Mik::MikFile &container) const
{
    // Compared as the card stores them: unsigned 32-bit.
    const quint32 serviceBuild = quint32(buildNumber);
    const quint32 serviceCode = quint32(buildCode);
    const quint32 cardBuild = container.buildNumber();
    const quint32 cardCode = container.buildCode();

    if (container.flags() & Mik::MikFile::FlagUpdating)
        return UpdateInProgress;
    if (serviceBuild > cardBuild)
        return UpdateAvailable;
    if (serviceBuild != cardBuild)
        return UpToDate;
    // A card without a build code predates build codes: its build number is
    // all there is to compare.
    if (cardCode == 0)
        return UpToDate;
    if (serviceCode == cardCode)
        return UpToDateSameBuild;
    if (serviceCode > cardCode)
        return UpdateAvailableSameBuild;
    return UpToDate;
}

QString RqSdProduct::getBuildReference() const
{
    return buildReference(buildNumber, buildCode);
}

QString RqSdProduct::containerBuildReference(const Mik::MikFile &container)
{
    return buildReference(qint32(container.buildNumber()), qint32(container.buildCode()));
}

QString RqSdProduct::buildReference(qint32 buildNumber, qint32 buildCode)
{
    QString reference = QString::number(buildNumber / 1000.0, 'f', 3);
    if (buildCode > 0) {
        const auto letter = [](qint32 value) { return QString(QChar(u'A' + value % 26)); };
        const auto digit = [](qint32 value) { return QString(QChar(u'0' + value % 10)); };
        reference += QStringLiteral(" (%1%2%3%4%5%6)")
                         .arg(letter(buildCode / 676000), letter(buildCode / 26000), letter(buildCode / 1000),
                              digit(buildCode / 100), digit(buildCode / 10), digit(buildCode));
    }
    return reference;
}

void RqSdProduct::rawMediaIdChanged(const QString &, const QString &, const ProductTypeEnum &)
{
    // The row of a card product shows the chart's state, not a subscription's.
}

void RqSdProduct::chartUpdateStatusChanged(AbstractProduct::ChartUpdateStatus status)
{
    if (row)
        row->updateStatusText(chartUpdateStatusText(status));
}
