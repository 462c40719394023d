#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "catalogue/product.h"
#include "catalogue/productinfo.h"
#include "catalogue/producttypeenum.h"
#include "catalogue/subscription.h"
#include "service/servicereply.h"
#include "service/versioninfo.h"

class QNetworkAccessManager;
class QNetworkRequest;

// The chart service, as the rest of the tool sees it: one network manager
// for the whole application and one typed call per thing the service does.
// This is the one place that knows the end points, the request bodies and
// the fields of the answers. Each call returns a reply object, owned by the
// service, that emits finished() once and then deletes itself.
class ChartService : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChartService)

public:
    // baseUrl: empty takes the built-in URL or QUORVEL_SERVICE_URL.
    explicit ChartService(const QString &baseUrl = QString(), QObject *parent = nullptr);
    ~ChartService() override;

    QString baseUrl() const { return base; }
    // A page of the service's web site, for the browser ("/users/sign_up").
    QString pageUrl(const QString &path) const { return base + path; }

    // The session id of the account.
    ServiceCall<QString> *signIn(const QString &email, const QByteArray &passwordHash);
    ServiceCall<QList<Product>> *products();
    ServiceCall<QList<Subscription>> *subscriptions(ProductTypeEnum line, const QString &sessionId);
    ServiceCall<ProductInfo> *productInfo(const QString &sku);
    ServiceCall<QByteArray> *picture(const QString &url);
    // The product activated for the card whose media text is deviceId. The
    // answer is the file list, kept as it came: reading it strictly is the
    // preparation's work, off the window's thread (FileList).
    ServiceCall<QByteArray> *activate(const QString &deviceId, const QString &sku, const QString &sessionId,
                                      const QByteArray &drm = QByteArray());
    // The bodiless activation an RQ update announces itself with.
    ServiceCall<QByteArray> *announceUpdate();
    // 352 bytes: the header of the newest build of a chart (by chart name,
    // or by SKU when a lost container is rebuilt).
    ServiceCall<QByteArray> *headerUpdate(const QString &chart);
    // The segment list of the newest build of a chart, as it came.
    ServiceCall<QByteArray> *segments(const QString &chartName);
    ServiceCall<VersionInfo> *version();

    // Whether a request over TLS may be answered over HTTP/2 unless
    // QUORVEL_HTTP2 says otherwise.
    static constexpr bool http2ByDefault = true;

    // The request for one chart file (or a part of it): built here so that a
    // network manager on another thread (the transfers have their own) asks
    // exactly what this one would.
    static QNetworkRequest fileRequest(const QString &url, const QString &range = QString());

    // The answers' readers, for tests that feed them bytes directly.
    static bool readProducts(const QByteArray &body, QList<Product> *products, QString *why);
    static bool readSubscriptions(const QByteArray &body, QList<Subscription> *subscriptions, QString *why);
    static bool readProductInfo(const QByteArray &body, ProductInfo *info, QString *why);
    static bool readVersion(const QByteArray &body, VersionInfo *info, QString *why);

private:
    QNetworkReply *post(const QString &name, const QString &group, QJsonObject body);

    QNetworkAccessManager *manager;
    const QString base;
};
