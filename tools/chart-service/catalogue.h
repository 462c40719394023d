#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <memory>
#include <mutex>

struct CatalogueFile
{
    QString file;       // relative path as the tool sees it in the record
    quint64 size = 0;   // bytes served; "data" comes on top
    QByteArray data;    // inline bytes the tool appends after size bytes
    QString key;        // identity of the generated content
    QString etag;
    qint64 mtime = 0;
};

struct CatalogueImage
{
    QString type;
    int width = 240;
    int height = 160;
    quint32 rgb = 0x3070a0;
};

struct CatalogueProduct
{
    int productId = 0;
    QString type; // "rq_sd", "velmora_region", "talvos"
    QString name;
    QString sku;
    int sizeInKb = 0;
    int buildNumber = 0;
    int buildCode = 0;
    quint64 segmentSize = 0;
    QString byline;
    QString description;
    QString lakeListUrl;
    QList<CatalogueImage> images;
    QList<CatalogueFile> files;
    QHash<QString, int> fileIndex;
};

struct CatalogueAccount
{
    QString email;
    QString password;
    QString status; // "active" or "inactive"
};

struct CatalogueSubscription
{
    int subscriptionId = 0;
    QString account;
    int productId = 0;
    QString deviceId;
    qint64 expiration = 0;
    QByteArray drm;
};

// Products, accounts and subscriptions of the service, loaded from one or
// more JSON files. Bindings of subscriptions change at run time and are the
// only part that is written back (to the state file, when one is given).
// All members are safe to call from the server's worker threads.
class Catalogue
{
public:
    static QString mediaIdFromDeviceId(const QString &deviceId);
    static QString encryptText(const QString &mediaId);

    bool load(const QString &path, QString *error);
    bool loadState(const QString &statePath, QString *error);
    void setHashCachePath(const QString &path);

    const CatalogueProduct *productById(int productId) const;
    const CatalogueProduct *productBySku(const QString &sku) const;
    QList<const CatalogueProduct *> products() const;
    const CatalogueFile *file(int productId, const QString &file) const;
    const CatalogueAccount *account(const QString &email) const;

    // SHA-1 of a file's first "size" bytes, computed once per content key.
    QByteArray sha1(const CatalogueFile &file);

    QJsonObject record(const CatalogueProduct &product, const CatalogueFile &file);

    QList<CatalogueSubscription> subscriptions(const QString &account, const QString &productType) const;

    enum class BindResult { Bound, AlreadyBound, NoneFree };
    // Binds a free subscription of the account for this product to the card,
    // or reuses one already bound to it (cards compared by media id).
    BindResult bind(const QString &account, int productId, const QString &deviceId, const QByteArray &drm,
                    CatalogueSubscription *result);

    QJsonObject firmware() const;
    void setFirmware(const QJsonObject &firmware);

private:
    void saveStateLocked();
    void saveHashCacheLocked();

    QList<CatalogueProduct> m_products;
    QHash<int, int> m_byId;
    QHash<QString, int> m_bySku;
    QHash<QString, CatalogueAccount> m_accounts;
    QList<CatalogueSubscription> m_subscriptions;
    QJsonObject m_firmware;
    QString m_statePath;

    mutable std::mutex m_mutex;
    std::mutex m_hashMutex;
    QHash<QString, QByteArray> m_hashes;
    QString m_hashCachePath;
};
