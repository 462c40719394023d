#pragma once

#include "widgets/abstractproduct.h"

namespace Mik {
class MikFile;
}

// The chart update of an RQ card. Its row shows the state of the card's
// chart rather than a subscription status.
class RqSdProduct : public AbstractProduct
{
    Q_OBJECT

public:
    explicit RqSdProduct(const QJsonObject &product, QObject *parent = nullptr);

    void setHighlighted(bool on) override;
    void setImage(QImage image) override;
    QWidget *createImageWidget() override;
    QWidget *createDescriptionWidget(int extraHeight) override;
    void createRow(QWidget *parent, QButtonGroup *group) override;

    // How the card's chart compares with the service's build of it.
    ChartUpdateStatus getStatus(Mik::MikFile &container) const;
    // "12.345 (ABB123)": build number in thousands, then the build code.
    QString getBuildReference() const;
    static QString containerBuildReference(const Mik::MikFile &container);
    static QString buildReference(qint32 buildNumber, qint32 buildCode);

    int buildNumber = 0;
    int buildCode = 0;

public slots:
    void rawMediaIdChanged(const QString &rawMediaId, const QString &sku,
                           const ProductTypeEnum &productType) override;
    void chartUpdateStatusChanged(AbstractProduct::ChartUpdateStatus status);
};
