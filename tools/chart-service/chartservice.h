#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "faultset.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

class Catalogue;
class RequestLog;
struct CatalogueFile;
struct CatalogueProduct;

// The HTTP side of the local chart service: every endpoint the tool calls,
// the file end points with ranges, and the control endpoint that arms
// faults and reads back the request log. Bound to the loopback address only,
// on one plain port and any number of HTTPS ports that share the endpoints,
// the faults and the request log.
class ChartService
{
public:
    ChartService(Catalogue &catalogue, FaultSet &faults, RequestLog &log, int threads);
    ~ChartService();
    Q_DISABLE_COPY_MOVE(ChartService)

    // Returns the port, or -1 when it cannot be bound.
    int bind(int port);
    // An HTTPS port presenting this certificate (threads < 0: as many
    // workers as the plain port); returns its base URL, or an empty text.
    QString bindTls(int port, X509 *certificate, EVP_PKEY *key, int threads = -1);
    // The first port bound: the plain one.
    QString baseUrl() const { return m_baseUrl; }
    // Serves every bound port until stop(); false when the first one fails.
    bool listen();
    void stop();

private:
    struct Reply
    {
        int status = 200;
        std::string contentType = "application/json";
        QByteArray body;
        bool json = false;
        const CatalogueFile *file = nullptr;
        QString etag;
        QList<QPair<QByteArray, QByteArray>> headers;
    };

    void configure(httplib::Server &server, int threads);
    int add(std::unique_ptr<httplib::Server> server, int port, const char *scheme, int threads);
    QString baseFor(const httplib::Request &request) const;

    void handle(const httplib::Request &request, httplib::Response &response);
    void handleControl(const httplib::Request &request, httplib::Response &response, const QString &path);
    void logRequest(const httplib::Request &request, const QString &path);
    Reply route(const httplib::Request &request, const QString &path, const QList<Fault> &faults, const QString &base);
    Reply post(const QString &path, const QJsonObject &body, const QList<Fault> &faults, const QString &base);

    Reply login(const QJsonObject &body);
    Reply getAllProducts();
    Reply getSubscriptions(const QJsonObject &body);
    Reply getProductInfo(const QJsonObject &body, const QString &base);
    Reply activateProduct(const QJsonObject &body, const QList<Fault> &faults, const QString &base);
    Reply getSegments(const QString &chartName, const QList<Fault> &faults, const QString &base);
    Reply headerUpdate(const QString &name, const QList<Fault> &faults);
    Reply firmwareVersions(const QString &base);
    Reply fileReply(const QString &path);
    Reply imageReply(const QString &path);

    QString accountOf(const QJsonObject &body) const;
    // A reply of fields around the product's file list, as JSON text.
    QByteArray listReply(const CatalogueProduct &product, const QList<Fault> &faults, QJsonObject fields);
    QByteArray fileRecords(const CatalogueProduct &product, const QList<Fault> &faults);
    // The records as the service sends them without faults; built once.
    QByteArray plainRecords(const CatalogueProduct &product);
    static QString endPoint(const CatalogueProduct &product, bool cdn, const QString &base);
    const CatalogueFile *fileForPath(const QString &path, int *productId = nullptr) const;

    void send(const httplib::Request &request, httplib::Response &response, const Reply &reply,
              const QList<Fault> &faults);

    static Reply jsonReply(const QJsonObject &object, int status = 200);
    static Reply errorReply(int status, const QString &message, const QString &error);

    Catalogue &m_catalogue;
    FaultSet &m_faults;
    RequestLog &m_log;
    const int m_threads;
    // Filled before listen() and only read afterwards: no lock.
    std::vector<std::unique_ptr<httplib::Server>> m_servers;
    QHash<int, QString> m_bases; // local port -> base URL
    QString m_baseUrl;

    std::mutex m_recordsMutex;
    QHash<int, QByteArray> m_plainRecords; // product id -> its records as JSON text

    mutable std::mutex m_sessionMutex;
    QHash<QString, QString> m_sessions; // session id -> account e-mail
};
