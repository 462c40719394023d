#pragma once

#include <QFrame>

#include "catalogue/producttypeenum.h"

namespace Ui {
class RefreshButton;
}

// The button in the tab bar's corner that asks the service again for the
// current line's subscriptions.
class RefreshButton : public QFrame
{
    Q_OBJECT

public:
    RefreshButton(ProductTypeEnum productType, QWidget *parent = nullptr);
    ~RefreshButton() override;
    Q_DISABLE_COPY_MOVE(RefreshButton)

    void setProductType(ProductTypeEnum type);
    void setDisabled(bool disabled);

    ProductTypeEnum productType;
    Ui::RefreshButton *ui;

signals:
    void refreshSubscriptions(int _productType);

public slots:
    void refreshClicked();
};
