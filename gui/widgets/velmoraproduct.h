#pragma once

#include "widgets/abstractproduct.h"

class VelmoraProduct : public AbstractProduct
{
    Q_OBJECT

public:
    explicit VelmoraProduct(const QJsonObject &product, QObject *parent = nullptr);

    void setHighlighted(bool on) override;
    void setImage(QImage image) override;
    QWidget *createImageWidget() override;
    QWidget *createDescriptionWidget(int extraHeight) override;
    void createRow(QWidget *parent, QButtonGroup *group) override;

public slots:
    void rawMediaIdChanged(const QString &rawMediaId, const QString &sku,
                           const ProductTypeEnum &productType) override;
};
