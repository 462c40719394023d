#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "catalogue/producttypeenum.h"
#include "catalogue/subscription.h"
#include "shell/serviceclient.h"

class QButtonGroup;
class QFont;
class QLabel;
class QNetworkReply;
class ProductRow;

// One chart product of one line, with the user's subscriptions to it. It
// decides what the selected card allows for it and fetches its own details.
class AbstractProduct : public QObject
{
    Q_OBJECT

public:
    enum ChartUpdateStatus {
        UpdateInProgress = -1,
        UpToDate = 0,
        UpToDateSameBuild = 1,
        UpdateAvailable = 2,
        UpdateAvailableSameBuild = 3,
    };
    Q_ENUM(ChartUpdateStatus)

    enum StatusCode {
        StatusAvailable = 0,
        StatusReplace = 1,
        StatusDownloaded = 2,
        StatusRedownload = 3,
        StatusIncompatible = 4,
    };

    explicit AbstractProduct(const QJsonObject &product, QObject *parent = nullptr);
    ~AbstractProduct() override;
    Q_DISABLE_COPY_MOVE(AbstractProduct)

    virtual void insertSubscription(int subscriptionId, const QJsonObject &subscription);
    virtual void setHighlighted(bool on) = 0;
    virtual void setImage(QImage image) = 0;
    virtual QWidget *createImageWidget() = 0;
    virtual QWidget *createDescriptionWidget(int extraHeight) = 0;
    virtual void createRow(QWidget *parent, QButtonGroup *group) = 0;

    int currentSubscriptionStatus(const QString &rawMediaId, const QString &sku,
                                  const ProductTypeEnum &productType) const;
    QMap<int, int> currentSubscriptionCount(const QString &rawMediaId, const QString &sku) const;
    Subscription *getSubscription(QString mediaId) const;

    QMap<int, QString> statusNames;
    QHash<int, Subscription *> subscriptions;
    QPointer<ProductRow> row;
    bool infoRequested = false;
    // Built on demand and shown in the details pane, which may reparent
    // them; guarded so the product never deletes a widget twice.
    QPointer<QWidget> descriptionWidget;
    QPointer<QWidget> imageWidget;
    // One slot per picture requested; a null slot waits for its reply.
    QList<QPixmap *> images;
    QMutex imagesMutex;
    QString byline;
    QString description;
    ProductTypeEnum productType = NoProductType;
    ServiceClient serviceClient;
    QString name;
    QString sku;
    int sizeInKb = 0;
    int productId = 0;
    bool selected = false;
    bool rowHighlighted = false;
    bool disabled = false;

signals:
    void exclusiveHighlight(int productId);
    void infoLoaded(AbstractProduct *product);

public slots:
    virtual void rawMediaIdChanged(const QString &rawMediaId, const QString &sku,
                                   const ProductTypeEnum &productType) = 0;
    void highlighted();
    void handleResponse(QNetworkReply *reply);

protected:
    // The pieces every line builds the same way; the subclasses keep what
    // differs (picture height, widget layout, how the row status is found).
    void highlightRow(bool on);
    void createProductRow(QWidget *parent, QButtonGroup *group);
    void showStatusInRow(const QString &rawMediaId, const QString &skuOnCard, const ProductTypeEnum &cardType);
    // A picture widget is only worth building once a picture was asked for.
    bool hasImageSlot();
    // The picture label of a widget whose layout holds it as first item.
    static QLabel *firstLabelOf(QWidget *widget);
    // Application font id (loaded at start-up) at 12 points; fallback's
    // family stays when that font did not load.
    static QFont applicationFont(int id, const QFont &fallback);
    // Shows slot 0's picture in label if it has arrived.
    void showFirstImage(QLabel *label);
    // Scales, then fills slot 0 and shows the picture in label when slot 0
    // is still empty.
    void storeImage(const QImage &image, int height, QLabel *label);
};

// The row text of a chart state; empty for a value outside the table.
QString chartUpdateStatusText(AbstractProduct::ChartUpdateStatus status);

Q_DECLARE_METATYPE(AbstractProduct::ChartUpdateStatus)
