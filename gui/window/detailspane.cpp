#include "window/detailspane.h"
#include "ui_newwindow.h"

#include <QFontMetrics>
#include <QLayout>

#include "widgets/loadinggif.h"

namespace {

const char *infoScrollStyle =
    "QScrollArea { border: none; background: transparent; }\n"
    "QScrollBar:vertical { border: none; background: #E4E4E4; width: 10px; margin: 0; }\n"
    "QScrollBar::handle:vertical { background: #B4B4B4; width: 8px; min-height: 20px; margin: 0 1px; }\n"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none; background: none; }\n"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }\n"
    "QScrollBar:horizontal { border: none; background: #E4E4E4; height: 10px; margin: 0; }\n"
    "QScrollBar::handle:horizontal { background: #B4B4B4; height: 8px; min-width: 20px; margin: 1px 0; }\n"
    "QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal { width: 0; border: none; background: none; }\n";

} // namespace

DetailsPane::DetailsPane(Ui::NewWindow *ui, QObject *parent)
    : QObject(parent)
    , ui(ui)
{
    ui->subscriptionDetails->hide();
    ui->productImageWidget->hide();
    ui->productInfoScrollArea->hide();
    // A Talvo description is a few pixels wider than the pane; a sideways
    // bar for its right margin would also push in a vertical one.
    ui->productInfoScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui->productInfoScrollArea->setStyleSheet(QString::fromLatin1(infoScrollStyle));
    setDownloadButton(QStringLiteral("Download"), false);
}

QString DetailsPane::statusNote(int code)
{
    switch (code) {
    case 0:
        return QStringLiteral("There is an available map ready to be downloaded to the selected Corvane encrypted SD card.");
    case 1:
        return QStringLiteral("The map can be downloaded to this Corvane encrypted SD card, replacing the existing Legacy subscription.");
    case 2:
        return QStringLiteral("The selected map has already been downloaded to an SD card.");
    case 3:
        return QStringLiteral("The selected map has already been downloaded to the selected Corvane encrypted SD card.");
    case 4:
        return QStringLiteral("The selected map is not compatible with the selected SD card.");
    default:
        return QString();
    }
}

void DetailsPane::replaceInfoWidget(QWidget *widget)
{
    // Descriptions belong to their products and are only hidden; the busy
    // animation belongs to the pane.
    if (QWidget *old = ui->productInfoScrollArea->takeWidget()) {
        if (qobject_cast<LoadingGif *>(old))
            old->deleteLater();
        else if (old != widget)
            old->hide();
    }
    if (!widget)
        return;
    ui->productInfoScrollArea->setMinimumHeight(widget->minimumHeight());
    ui->productInfoScrollFrame->setMinimumHeight(ui->productInfoScrollArea->minimumHeight());
    ui->productInfoScrollArea->setWidget(widget);
    widget->show();
}

void DetailsPane::clear()
{
    fullName.clear();
    ui->productName->setText(QString());
    ui->productName->setToolTip(QString());
    if (QLayoutItem *item = ui->productImageWidget->layout()->takeAt(0)) {
        if (QWidget *widget = item->widget())
            widget->hide();
        delete item;
    }
    ui->productImageWidget->hide();
    replaceInfoWidget(nullptr);
    ui->productInfoScrollArea->hide();
    setDownloadButton(QStringLiteral("Download"), false);
    ui->subscriptionDetails->hide();
}

void DetailsPane::showLoading()
{
    // The animation asks for no more room than it needs, so the pane shows
    // it whole without a scroll bar.
    replaceInfoWidget(new LoadingGif);
    ui->productInfoScrollArea->show();
}

void DetailsPane::relayout()
{
    if (fullName.isEmpty())
        return;
    const QString elided = QFontMetrics(ui->productName->font())
                               .elidedText(fullName, Qt::ElideRight, ui->productName->width());
    ui->productName->setText(elided);
    ui->productName->setToolTip(fullName);
}

void DetailsPane::showProduct(AbstractProduct *product, const QString &rawMediaId, const QString &skuOnCard,
                              ProductTypeEnum cardType)
{
    fullName = product->name;
    relayout();

    QWidget *image = product->createImageWidget();
    QLayout *imageLayout = ui->productImageWidget->layout();
    if (QLayoutItem *item = imageLayout->takeAt(0)) {
        if (QWidget *old = item->widget())
            old->hide();
        delete item;
    }
    if (image) {
        ui->productImageWidget->setMinimumHeight(image->minimumHeight());
        ui->productImageWidget->setMaximumHeight(image->maximumHeight());
        imageLayout->addWidget(image);
        image->show();
    }
    ui->productImageWidget->show();

    if (product->productType != RqSd) {
        ui->subDetailLabel->setText(QStringLiteral("Product Details"));
        const int code = product->currentSubscriptionStatus(rawMediaId, skuOnCard, cardType);
        ui->statusLabel->setText(QStringLiteral("<b>Product Status:</b> ") + product->statusNames.value(code));
        ui->statusLabel->show();

        QString quantity = QStringLiteral("1");
        if (product->subscriptions.size() >= 2) {
            QString list;
            const QMap<int, int> counts = product->currentSubscriptionCount(rawMediaId, skuOnCard);
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                list += QStringLiteral("%1 - %2, ").arg(it.value()).arg(product->statusNames.value(it.key()));
            list.chop(2);
            quantity = QStringLiteral("%1 (%2)").arg(product->subscriptions.size()).arg(list);
        }
        ui->quantityLabel->setText(QStringLiteral("<b>Quantity: </b>") + quantity);
        ui->noteHeaderLabel->setText(QStringLiteral("<b>Note:</b> "));
        ui->noteBodyLabel->setText(statusNote(code));
        ui->noteBodyLabel->adjustSize();
    }

    ui->subscriptionDetails->show();
    replaceInfoWidget(product->createDescriptionWidget(0));
    ui->productInfoScrollArea->setVisible(product->productType != RqSd);
}

void DetailsPane::showChartStatus(AbstractProduct::ChartUpdateStatus status, const QString &buildReference)
{
    ui->subDetailLabel->setText(QStringLiteral("Product Details"));
    ui->quantityLabel->setText(QStringLiteral("<b>Build:</b> ") + buildReference);
    ui->noteHeaderLabel->setText(QStringLiteral("<b>Note:</b> "));
    ui->statusLabel->setText(QStringLiteral("<b>Product Status:</b> ") + chartUpdateStatusText(status));
    ui->statusLabel->show();
    switch (status) {
    case AbstractProduct::UpdateInProgress:
        ui->noteBodyLabel->setText(QStringLiteral("The RQ Chart Card update is in progress."));
        break;
    case AbstractProduct::UpToDate:
    case AbstractProduct::UpToDateSameBuild:
        ui->noteBodyLabel->setText(QStringLiteral("The RQ Chart Card is up to date with the latest data."));
        break;
    default:
        ui->noteBodyLabel->setText(
            QStringLiteral("Select \"Update\" to download the latest chart information to your card."));
        break;
    }
}

void DetailsPane::setDownloadButton(const QString &text, bool offered)
{
    ui->downloadBtn->setText(text);
    ui->downloadBtn->setVisible(offered);
    ui->downloadBtn->setEnabled(offered);
}

void DetailsPane::offerForStatus(AbstractProduct *product, int code)
{
    switch (code) {
    case 0:
        setDownloadButton(QStringLiteral("Download"), true);
        break;
    case 1:
    case 3:
        setDownloadButton(product->statusNames.value(code), true);
        break;
    default:
        setDownloadButton(ui->downloadBtn->text(), false);
        break;
    }
}

void DetailsPane::offerForChartStatus(AbstractProduct::ChartUpdateStatus status)
{
    switch (status) {
    case AbstractProduct::UpToDateSameBuild:
        setDownloadButton(QStringLiteral("Validate"), true);
        break;
    case AbstractProduct::UpToDate:
        setDownloadButton(ui->downloadBtn->text(), false);
        break;
    case AbstractProduct::UpdateInProgress:
        setDownloadButton(QStringLiteral("Resume"), true);
        break;
    default:
        setDownloadButton(QStringLiteral("Update"), true);
        break;
    }
}
