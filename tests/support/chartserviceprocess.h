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

// Starts the local chart service (tools/chart-service) for a test, on free
// loopback ports (HTTP, and HTTPS with a certificate authority made for this
// start), and talks to its control endpoint: faults to arm and count, the
// log of requests, the bindings. Every call is synchronous (it runs a local
// event loop) and gives up after 30 seconds. Over HTTPS the tool trusts the
// service only when QUORVEL_EXTRA_CA_FILE names caFilePath(). The demo data
// is described in tools/chart-service/README.md.
class ChartServiceProcess
{
public:
    static constexpr const char *DemoEmail = "demo@quorvel.test";
    static constexpr const char *DemoPassword = "Demo-Pass-2024";
    static constexpr const char *LockedEmail = "locked@quorvel.test";
    static constexpr const char *LockedPassword = "Locked-Pass-2024";
    static constexpr const char *TestEmail = "test@quorvel.test";
    // Media id of the demo Velmora/Talvo card.
    static constexpr const char *DemoMediaId = "QDEMO-0001";
    // SKU (= chart name) of the RQ product bound to the demo RQ card.
    static constexpr const char *DemoRqSku = "  4321-1";

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

    // Starts the service with the demo catalogue unless arguments name a
    // --catalogue; "--port 0" and a --tls-dir of its own are added. Waits
    // for the lines that name the ports.
    bool start(const QStringList &arguments = {});
    void stop();
    QString baseUrl() const { return m_baseUrl; }
    QString httpsBaseUrl() const { return m_httpsBaseUrl; }
    // Same endpoints, but its certificate names another host.
    QString wrongNameHttpsUrl() const { return m_wrongNameUrl; }
    // PEM file of the authority that signed both certificates.
    QString caFilePath() const { return m_caFilePath; }
    // Where the calls below that take a path go: HTTP (default) or HTTPS.
    // Full URLs go where they say; this helper trusts the service's
    // authority for its own requests only.
    void useHttps(bool https) { m_https = https; }

    // POST base + "/api/" + group + "/" + name with the API key added.
    // status receives the HTTP status (0 without a response).
    QJsonObject call(const QString &name, const QString &group, QJsonObject body, int *status = nullptr);
    QByteArray callRaw(const QString &name, const QString &group, QJsonObject body, int *status = nullptr);
    // Returns the session id, or an empty text when the sign-in failed.
    QString signIn(const QString &email = QString::fromLatin1(DemoEmail),
                   const QString &password = QString::fromLatin1(DemoPassword));

    // Faults: {"kind", "path" (wildcard on the decoded path, default "*"),
    // "count" (hits, default 1, -1 for every request), kind parameters}.
    // See the README for the kinds and their parameters.
    bool addFault(const QJsonObject &fault);
    bool clearFaults();
    // Every fault armed since the last clear, spent ones included:
    // {"id", "kind", "path", "count" (hits left), "fired", parameters}.
    QJsonArray faults();
    // Requests hit by the faults of that kind (all kinds when empty) since
    // the last clear; -1 when the service cannot be asked.
    int firedCount(const QString &kind = QString());

    // Entries {"method", "path", "target", "headers", "json", "body", "time"}
    // in arrival order, optionally only those whose path matches a wildcard.
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

    QProcess m_process;
    std::unique_ptr<QTemporaryDir> m_tlsDir;
    QString m_baseUrl;
    QString m_httpsBaseUrl;
    QString m_wrongNameUrl;
    QString m_caFilePath;
    QList<QSslCertificate> m_authority;
    bool m_https = false;
    QNetworkAccessManager m_manager;
};
