#include "widgets/refreshbutton.h"

#include "ui_refreshbutton.h"

RefreshButton::RefreshButton(ProductTypeEnum productType, QWidget *parent)
    : QFrame(parent)
    , productType(productType)
    , ui(new Ui::RefreshButton)
{
    ui->setupUi(this);
    connect(ui->toolButton, &QToolButton::clicked, this, &RefreshButton::refreshClicked);
}

RefreshButton::~RefreshButton()
{
    delete ui;
}

void RefreshButton::refreshClicked()
{
    emit refreshSubscriptions(productType);
}

void RefreshButton::setProductType(ProductTypeEnum type)
{
    productType = type;
    switch (type) {
    case RqSd:
        ui->toolButton->setToolTip(QStringLiteral("Refresh"));
        break;
    case VelmoraRegion:
    case Talvos:
        ui->toolButton->setToolTip(QStringLiteral("Refreshes the list of products below."));
        break;
    default:
        ui->toolButton->setToolTip(QString());
        break;
    }
}

void RefreshButton::setDisabled(bool disabled)
{
    ui->toolButton->setDisabled(disabled);
}
