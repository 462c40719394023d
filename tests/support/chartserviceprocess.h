#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The local chart service (tools/chart-service, demo data in its README) on
// free loopback ports, HTTP and HTTPS with an authority made for this start,
// and its control endpoint. Every call waits at most 30 seconds.
class ChartServiceProcess
{
public:
    static constexpr const char *DemoEmail = "demo@quorvel.test";
    static constexpr const char *DemoPassword = "Demo-Pass-2024";
    static constexpr const char *LockedEmail = "locked@quorvel.test";
    static constexpr const char *LockedPassword = "Locked-Pass-2024";
    static constexpr const char *TestEmail = "test@quorvel.test";
    static constexpr const char *DemoMediaId = "QDEMO-0001"; // the demo Velmora/Talvo card
    static constexpr const char *DemoRqSku = "  4321-1"; // chart name bound to the demo RQ card

    ChartServiceProcess();
    ~ChartServiceProcess();
    Q_DISABLE_COPY_MOVE(ChartServiceProcess)

    static QString demoCataloguePath();
    static QString testCataloguePath();

    // The texts the tool sends: the API key and the salted password hash.
    static QString apiKey();
    static QString passwordHash(const QString &password);
    // The three-field ENCRYPT.TXT text the card maker writes for a media id.
    static QString encryptText(const QString &mediaId);

    // Once per object; the demo catalogue unless arguments name a --catalogue.
    bool start(const QStringList &arguments = {});
    QString baseUrl() const { return m_baseUrl; }
    QString httpsBaseUrl() const { return m_httpsBaseUrl; }
    // Same endpoints, but its certificate names another host.
    QString wrongNameHttpsUrl() const { return m_wrongNameUrl; }
    // The authority that signed both certificates; the tool trusts it only
    // when QUORVEL_EXTRA_CA_FILE names it.
    QString caFilePath() const { return m_caFilePath; }

    // POST /api/group/name with the API key added; status 0 without a reply.
    QJsonObject call(const QString &name, const QString &group, QJsonObject body, int *status = nullptr);
    QByteArray callRaw(const QString &name, const QString &group, QJsonObject body, int *status = nullptr);
    // Returns the session id, or an empty text when the sign-in failed.
    QString signIn(const QString &email = QString::fromLatin1(DemoEmail),
                   const QString &password = QString::fromLatin1(DemoPassword));

    // {"kind", "path" (wildcard on the decoded path), "count" (-1: every
    // request), parameters of the kind (README)}.
    bool addFault(const QJsonObject &fault);
    bool clearFaults();
    // Armed since the last clear, spent ones included, with "fired" counts.
    QJsonArray faults();
    // Of that kind (all kinds when empty); -1 when the service cannot be asked.
    int firedCount(const QString &kind = QString());

    // {"method", "path", "target", "headers", "json", "body", "time"} in
    // arrival order, only those whose path matches a wildcard if one is given.
    QJsonArray requestLog(const QString &pathPattern = QString());
    bool clearRequestLog();

    bool setFirmware(const QJsonObject &firmware);
    // Subscriptions of an account with their current bindings.
    QJsonArray subscriptions(const QString &account = QString::fromLatin1(DemoEmail));

    // What a file end point serves when no fault is armed (full URL or path).
    QByteArray expectedBytes(const QString &url);

    // make-card DIR --kind KIND [extra...]; true when the card was written.
    static bool makeCard(const QString &dir, const QString &kind, const QStringList &extra = {});

    QByteArray get(const QString &pathOrUrl, int *status = nullptr,
                   const QList<QPair<QByteArray, QByteArray>> &headers = {},
                   QList<QPair<QByteArray, QByteArray>> *replyHeaders = nullptr);

private:
    QByteArray send(const QByteArray &method, const QString &pathOrUrl, const QByteArray &body, int *status,
                    const QList<QPair<QByteArray, QByteArray>> &headers = {},
                    QList<QPair<QByteArray, QByteArray>> *replyHeaders = nullptr);
    QString controlPath(const QString &path, const QString &query = QString()) const;
    bool control(const QByteArray &method, const QString &path, const QJsonObject &body = QJsonObject());
    QJsonArray controlList(const QString &path, const QString &query = QString(), int *status = nullptr);

    QProcess m_process;
    std::unique_ptr<QTemporaryDir> m_tlsDir;
    QString m_baseUrl;
    QString m_httpsBaseUrl;
    QString m_wrongNameUrl;
    QString m_caFilePath;
    QList<QSslCertificate> m_authority;
    QNetworkAccessManager m_manager;
};
