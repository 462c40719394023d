#include "service/chartservice.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "base/appglobals.h"
#include "service/servicekeys.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace {

const QString smn = QStringLiteral("smn");

bool rawBody(const QByteArray &body, QByteArray *value, QString *)
{
    *value = body;
    return true;
}

bool sessionOf(const QByteArray &body, QString *session, QString *why)
{
    *session = QJsonDocument::fromJson(body).object().value(QStringLiteral("session_id")).toString();
    if (session->isEmpty())
        *why = QStringLiteral("no session_id");
    return !session->isEmpty();
}

bool objectOf(const QByteArray &body, QJsonObject *object, QString *why)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (!document.isObject()) {
        *why = error.error != QJsonParseError::NoError ? error.errorString() : QStringLiteral("not a JSON object");
        return false;
    }
    *object = document.object();
    return true;
}

// Whether requests may go over HTTP/2 (negotiated with TLS only; plain HTTP
// stays HTTP/1.1 either way). QUORVEL_HTTP2=0 or 1 overrides the default.
bool http2Allowed()
{
    static const bool allowed = [] {
        const QByteArray chosen = qgetenv("QUORVEL_HTTP2").trimmed();
        return chosen.isEmpty() ? ChartService::http2ByDefault : chosen != "0";
    }();
    return allowed;
}

QNetworkRequest requestFor(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, http2Allowed());
    return request;
}

} // namespace

ChartService::ChartService(const QString &baseUrl, QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
    , base(baseUrl.isEmpty() ? serviceBaseUrl() : baseUrl)
{
}

ChartService::~ChartService() = default;

QNetworkReply *ChartService::post(const QString &name, const QString &group, QJsonObject body)
{
    body.insert(QStringLiteral("api_key"), QString::fromLatin1(ServiceKeys::apiKey()));
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Indented);

    // Joined as texts: a name that starts with "/" yields a doubled slash,
    // which the service's routes expect.
    QNetworkRequest request = requestFor(QUrl(base + QStringLiteral("/api/") + group + QLatin1Char('/') + name));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, QString::number(bytes.size()));
    // The body carries the API key, and for a sign-in the password's hash:
    // a redirect may lead elsewhere on the service, never to another server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    return manager->post(request, bytes);
}

ServiceCall<QString> *ChartService::signIn(const QString &email, const QByteArray &passwordHash)
{
    const QJsonObject body{{QStringLiteral("password"), QString::fromLatin1(passwordHash)},
                           {QStringLiteral("email"), email},
                           {QStringLiteral("remember_me"), true}};
    return new ServiceCall<QString>(post(QStringLiteral("Login"), QStringLiteral("session"), body), sessionOf, this);
}

ServiceCall<QList<Product>> *ChartService::products()
{
    return new ServiceCall<QList<Product>>(post(QStringLiteral("GetAllProducts"), smn, QJsonObject()), readProducts,
                                           this);
}

ServiceCall<QList<Subscription>> *ChartService::subscriptions(ProductTypeEnum line, const QString &sessionId)
{
    const QJsonObject body{{QStringLiteral("product_type"), productTypeToString(line)},
                           {QStringLiteral("session_id"), sessionId}};
    return new ServiceCall<QList<Subscription>>(post(QStringLiteral("/GetSubscriptions"), smn, body),
                                                readSubscriptions, this);
}

ServiceCall<ProductInfo> *ChartService::productInfo(const QString &sku)
{
    const QJsonObject body{{QStringLiteral("sku"), sku}, {QStringLiteral("encode_image"), true}};
    auto parser = [sku](const QByteArray &answer, ProductInfo *info, QString *why) {
        info->sku = sku;
        return readProductInfo(answer, info, why);
    };
    return new ServiceCall<ProductInfo>(post(QStringLiteral("GetProductInfo"), smn, body), parser, this);
}

ServiceCall<QByteArray> *ChartService::picture(const QString &url)
{
    return new ServiceCall<QByteArray>(manager->get(fileRequest(url)), rawBody, this);
}

ServiceCall<QByteArray> *ChartService::activate(const QString &deviceId, const QString &sku,
                                                const QString &sessionId, const QByteArray &drm)
{
    QJsonObject body{{QStringLiteral("device_id"), deviceId},
                     {QStringLiteral("sku"), sku},
                     {QStringLiteral("session_id"), sessionId}};
    if (!drm.isNull())
        body.insert(QStringLiteral("drm"), QString::fromLatin1(drm.toBase64()));
    return new ServiceCall<QByteArray>(post(QStringLiteral("ActivateProduct"), smn, body), rawBody, this);
}

ServiceCall<QByteArray> *ChartService::announceUpdate()
{
    return new ServiceCall<QByteArray>(post(QStringLiteral("ActivateProduct"), smn, QJsonObject()), rawBody, this);
}

ServiceCall<QByteArray> *ChartService::headerUpdate(const QString &chart)
{
    return new ServiceCall<QByteArray>(post(QStringLiteral("HeaderUpdate/") + chart, smn, QJsonObject()), rawBody,
                                       this);
}

ServiceCall<QByteArray> *ChartService::segments(const QString &chartName)
{
    return new ServiceCall<QByteArray>(post(QStringLiteral("GetSegments/") + chartName, smn, QJsonObject()),
                                       rawBody, this);
}

ServiceCall<VersionInfo> *ChartService::version()
{
    return new ServiceCall<VersionInfo>(manager->get(requestFor(QUrl(base + QStringLiteral("/firmware_versions")))),
                                        readVersion, this);
}

QNetworkRequest ChartService::fileRequest(const QString &url, const QString &range)
{
    QNetworkRequest request = requestFor(QUrl(url));
    if (!range.isEmpty()) {
        request.setRawHeader("Range", range.toUtf8());
        request.setRawHeader("Accept-Encoding", "identity");
        for (const QByteArray &header : request.rawHeaderList())
            qCDebug(lcService) << url << header << request.rawHeader(header);
    }
    return request;
}

bool ChartService::readProducts(const QByteArray &body, QList<Product> *products, QString *why)
{
    QJsonObject object;
    if (!objectOf(body, &object, why))
        return false;
    // Keys come sorted, which is the order rows follow.
    for (auto lineIt = object.constBegin(); lineIt != object.constEnd(); ++lineIt) {
        const ProductTypeEnum line = productTypeFromString(lineIt.key());
        if (line == NoProductType) {
            qCDebug(lcService) << "Skipping products of unknown line" << lineIt.key();
            continue;
        }
        const QJsonObject entries = lineIt.value().toObject();
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
            const QJsonObject entry = it.value().toObject();
            Product product;
            product.productId = entry.value(QStringLiteral("product_id")).toInt(0);
            product.sku = entry.value(QStringLiteral("sku")).toString();
            product.name = entry.value(QStringLiteral("name")).toString();
            product.sizeInKb = entry.value(QStringLiteral("size_in_kb")).toInt(0);
            product.line = line;
            if (line == RqSd) {
                product.buildNumber = entry.value(QStringLiteral("build_number")).toInt(0);
                product.buildCode = entry.value(QStringLiteral("build_code")).toInt(0);
            }
            products->append(product);
        }
    }
    return true;
}

bool ChartService::readSubscriptions(const QByteArray &body, QList<Subscription> *subscriptions, QString *why)
{
    QJsonObject object;
    if (!objectOf(body, &object, why))
        return false;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        bool ok = false;
        const int id = it.key().toInt(&ok, 10);
        const QJsonObject entry = it.value().toObject();
        Subscription subscription;
        subscription.subscriptionId = ok ? id : 0;
        subscription.productId = entry.value(QStringLiteral("product_id")).toInt(0);
        subscription.deviceId = entry.value(QStringLiteral("device_id")).toString();
        subscription.expiration = entry.value(QStringLiteral("expiration")).toInt(0);
        subscription.drm = QByteArray::fromBase64(entry.value(QStringLiteral("drm")).toString().toLatin1());
        subscriptions->append(subscription);
    }
    return true;
}

bool ChartService::readProductInfo(const QByteArray &body, ProductInfo *info, QString *why)
{
    QJsonObject object;
    if (!objectOf(body, &object, why))
        return false;
    // A lake-chart region has many pictures, but only its cover is shown.
    const bool coverOnly = object.value(QStringLiteral("type")).toString() == productTypeToString(VelmoraRegion);
    const QJsonArray images = object.value(QStringLiteral("images")).toArray();
    for (const QJsonValue &value : images) {
        const QJsonObject entry = value.toObject();
        if (!entry.contains(QStringLiteral("url")))
            continue;
        if (coverOnly && entry.value(QStringLiteral("type")).toString() != QLatin1String("cover"))
            continue;
        info->pictureUrls.append(entry.value(QStringLiteral("url")).toString());
        if (coverOnly)
            break;
    }
    info->byline = object.value(QStringLiteral("byline")).toString();
    info->description = object.value(QStringLiteral("description")).toString();
    info->lakeListUrl = object.value(QStringLiteral("lake_list_url")).toString();
    return true;
}

bool ChartService::readVersion(const QByteArray &body, VersionInfo *info, QString *why)
{
    QJsonObject object;
    if (!objectOf(body, &object, why))
        return false;
    const QJsonObject tool =
        object.value(QStringLiteral("desktop")).toObject().value(QStringLiteral("download_tool")).toObject();
    info->latestVersion = tool.value(QStringLiteral("latest_version")).toString();
    info->downloadUrl = tool.value(QStringLiteral("macos_download_url")).toString();
    return true;
}
