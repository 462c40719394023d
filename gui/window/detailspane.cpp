#include "window/detailspane.h"
#include "ui_newwindow.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QTextDocument>
#include <QVBoxLayout>

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

const QString labelStyle = QStringLiteral("QLabel { color : black; }");

QFont paneFont(const QFont &base, bool bold)
{
    QFont font = base;
    font.setFamily(QStringLiteral("Myriad Pro"));
    font.setPointSize(12);
    font.setBold(bold);
    return font;
}

QLabel *textLabel(const QString &text, QWidget *parent, bool bold)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(labelStyle);
    label->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignTop);
    label->setFont(paneFont(label->font(), bold));
    return label;
}

// The description of a lake-chart region: its byline, then its text with
// the list of its lakes linked.
QWidget *velmoraDescription(const Product &product, const ProductInfo &info)
{
    auto *widget = new QWidget;
    widget->setMinimumSize(388, 123);
    widget->setMaximumWidth(388);
    widget->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(11, 11, 11, 8);
    layout->setSpacing(10);
    layout->addWidget(textLabel(info.byline, widget, true));

    QString html = info.description;
    if (!info.lakeListUrl.isEmpty())
        html += QStringLiteral("<p><a href=\"") + info.lakeListUrl.toHtmlEscaped() + QStringLiteral("\">")
                + product.name.toHtmlEscaped() + QStringLiteral("</a></p>");
    QLabel *description = textLabel(QString(), widget, false);
    // The document writes its default font into the HTML; left at the
    // application's, it would override the label's larger one.
    QTextDocument document;
    document.setDefaultFont(description->font());
    // Lists in the service's descriptions come with a deep default indent
    // that wastes most of the narrow pane.
    document.setDefaultStyleSheet(QStringLiteral("ul{padding-left:10px;margin-left:10px;-qt-list-indent:0}"));
    document.setHtml(html);
    description->setTextFormat(Qt::RichText);
    description->setText(document.toHtml());
    description->setOpenExternalLinks(true);
    layout->addWidget(description);
    // The room a tall pane has left goes under the text, not between its lines.
    layout->addStretch();
    return widget;
}

QWidget *talvoDescription(const ProductInfo &info)
{
    auto *widget = new QWidget;
    widget->setMinimumSize(399, 130);
    widget->setMaximumWidth(399);
    widget->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(11, 0, 11, 0);
    layout->addWidget(textLabel(info.description, widget, false));
    layout->addStretch();
    return widget;
}

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
    offer(QString());
}

void DetailsPane::setInfoWidget(QWidget *widget)
{
    if (QWidget *old = ui->productInfoScrollArea->takeWidget())
        old->deleteLater();
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
            widget->deleteLater();
        delete item;
    }
    ui->productImageWidget->hide();
    setInfoWidget(nullptr);
    ui->productInfoScrollArea->hide();
    offer(QString());
    ui->subscriptionDetails->hide();
}

void DetailsPane::relayout()
{
    if (fullName.isEmpty())
        return;
    const QString elided =
        QFontMetrics(ui->productName->font()).elidedText(fullName, Qt::ElideRight, ui->productName->width());
    ui->productName->setText(elided);
    ui->productName->setToolTip(fullName);
}

void DetailsPane::showName(const QString &name)
{
    fullName = name;
    relayout();
}

void DetailsPane::showPicture(const Product &product, const QPixmap &picture)
{
    QLayout *imageLayout = ui->productImageWidget->layout();
    if (QLayoutItem *item = imageLayout->takeAt(0)) {
        if (QWidget *old = item->widget())
            old->deleteLater();
        delete item;
    }
    if (picture.isNull()) {
        ui->productImageWidget->hide();
        return;
    }
    QWidget *frame = nullptr;
    switch (product.line) {
    case VelmoraRegion: {
        auto *label = new QLabel;
        label->setFixedSize(395, 112);
        label->setStyleSheet(QStringLiteral("border: 2px solid #505050;"));
        label->setPixmap(picture.scaledToHeight(112, Qt::SmoothTransformation));
        frame = label;
        break;
    }
    case Talvos: {
        frame = new QWidget;
        frame->setFixedSize(395, 102);
        auto *layout = new QHBoxLayout(frame);
        layout->setContentsMargins(11, 11, 11, 11);
        auto *label = new QLabel(frame);
        label->setFixedSize(117, 80);
        label->setPixmap(picture.scaled(label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        layout->addWidget(label);
        layout->addStretch();
        break;
    }
    default: {
        frame = new QWidget;
        frame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        auto *layout = new QVBoxLayout(frame);
        layout->setContentsMargins(0, 10, 0, 0);
        auto *label = new QLabel(frame);
        label->setPixmap(picture.scaledToHeight(220, Qt::SmoothTransformation));
        layout->addWidget(label);
        layout->addStretch();
        break;
    }
    }
    ui->productImageWidget->setMinimumHeight(frame->minimumHeight());
    ui->productImageWidget->setMaximumHeight(frame->maximumHeight());
    imageLayout->addWidget(frame);
    ui->productImageWidget->show();
}

void DetailsPane::showProduct(const Product &product, const ProductInfo *info, const QPixmap &picture,
                              ProductStatus::Code code, const QMap<ProductStatus::Code, int> &counts)
{
    showName(product.name);
    if (!info) {
        showPicture(product, QPixmap());
        ui->subscriptionDetails->hide();
        // The animation asks for no more room than it needs, so the pane
        // shows it whole without a scroll bar.
        setInfoWidget(new LoadingGif);
        ui->productInfoScrollArea->show();
        return;
    }
    showPicture(product, picture);
    ui->subDetailLabel->setText(QStringLiteral("Product Details"));
    ui->statusLabel->setText(QStringLiteral("<b>Product Status:</b> ") + ProductStatus::word(code).toHtmlEscaped());
    ui->statusLabel->show();
    QString quantity = QStringLiteral("1");
    if (product.subscriptions.size() >= 2) {
        QString list;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            list += QStringLiteral("%1 - %2, ").arg(it.value()).arg(ProductStatus::word(it.key()));
        list.chop(2);
        quantity = QStringLiteral("%1 (%2)").arg(product.subscriptions.size()).arg(list);
    }
    ui->quantityLabel->setText(QStringLiteral("<b>Quantity: </b>") + quantity);
    ui->noteHeaderLabel->setText(QStringLiteral("<b>Note:</b> "));
    ui->noteBodyLabel->setText(ProductStatus::note(code));
    ui->subscriptionDetails->show();
    setInfoWidget(product.line == VelmoraRegion ? velmoraDescription(product, *info) : talvoDescription(*info));
    ui->productInfoScrollArea->show();
}

void DetailsPane::showChart(const Product &product, const QPixmap &picture, ProductStatus::ChartStatus status,
                            const QString &cardBuild)
{
    showName(product.name);
    showPicture(product, picture);
    ui->subDetailLabel->setText(QStringLiteral("Product Details"));
    QString build = QStringLiteral("<b>Build:</b> ") + cardBuild.toHtmlEscaped();
    const QString newest = ProductStatus::buildReference(product.buildNumber, product.buildCode);
    if (status == ProductStatus::UpdateAvailable || status == ProductStatus::UpdateAvailableSameBuild
        || status == ProductStatus::UpdateInProgress)
        build += QStringLiteral(" &rarr; ") + newest.toHtmlEscaped();
    ui->quantityLabel->setText(build);
    ui->noteHeaderLabel->setText(QStringLiteral("<b>Note:</b> "));
    ui->statusLabel->setText(QStringLiteral("<b>Product Status:</b> ") + ProductStatus::chartWord(status));
    ui->statusLabel->show();
    switch (status) {
    case ProductStatus::UpdateInProgress:
        ui->noteBodyLabel->setText(QStringLiteral("The RQ Chart Card update is in progress."));
        break;
    case ProductStatus::UpToDate:
    case ProductStatus::UpToDateSameBuild:
        ui->noteBodyLabel->setText(QStringLiteral("The RQ Chart Card is up to date with the latest data."));
        break;
    default:
        ui->noteBodyLabel->setText(
            QStringLiteral("Select \"Update\" to download the latest chart information to your card."));
        break;
    }
    ui->subscriptionDetails->show();
    setInfoWidget(nullptr);
    ui->productInfoScrollArea->hide();
}

void DetailsPane::offer(const QString &action)
{
    if (!action.isEmpty())
        ui->downloadBtn->setText(action);
    ui->downloadBtn->setVisible(!action.isEmpty());
    ui->downloadBtn->setEnabled(!action.isEmpty());
}

QString DetailsPane::offered() const
{
    return ui->downloadBtn->isHidden() ? QString() : ui->downloadBtn->text();
}
