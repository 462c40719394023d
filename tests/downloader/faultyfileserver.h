#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;
class QTimer;

// A chart service in miniature on 127.0.0.1 for the downloader's tests: it
// answers activation, header and segment calls with what the test put in,
// serves files under an origin and a CDN prefix with real single ranges and
// quoted ETags, throttled on request, and cuts or refuses a file on request.
// The service's own richer faults are exercised in tst_downloadservice; this
// one gives the tests the timing control they need (pulling a card, killing
// a process, pausing) in the test's own event loop.
class FaultyFileServer : public QObject
{
    Q_OBJECT

public:
    struct Fault
    {
        int times = 1;          // how many requests of the file it spoils
        qint64 closeAfter = -1; // close the connection after this many body bytes
        int status = 0;         // answer with this HTTP status instead
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit FaultyFileServer(QObject *parent = nullptr);
    ~FaultyFileServer() override;

    bool listen();
    QString baseUrl() const;
    QString originUrl() const; // end point: base + "/origin/"
    QString cdnUrl() const;    // CDN end point: base + "/cdn/"

    // A file served under both prefixes; returns its record.
    QJsonObject addFile(const QString &path, const QByteArray &content, const QByteArray &inlineData = QByteArray());
    void setFault(const QString &path, const Fault &fault);
    // Bytes per 10 ms for every file body; 0 sends at full speed.
    void setThrottle(qint64 bytesPerTick);

    // Activation: the reply given to "ActivateProduct" calls with a body.
    void setActivation(const QJsonArray &files, int status = 200, const QString &message = QString());
    void setRawReply(const QByteArray &path, const QByteArray &body, int status = 200);
    void setSegments(const QString &chartName, const QJsonArray &files);

    QList<Request> requests;
    QHash<QString, QByteArray> contents;
    QJsonArray activationFiles;

    int fileRequests() const;

signals:
    void requestReceived();

private:
    struct Stream
    {
        QByteArray body;
        qint64 sent = 0;
        Fault fault;
        bool faulty = false;
    };

    void handleConnection();
    void handleData(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Request &request);
    void serveFile(QTcpSocket *socket, const Request &request, const QString &path);
    void pump(QTcpSocket *socket);
    static void writeSimple(QTcpSocket *socket, int status, const QByteArray &body,
                            const QByteArray &type = "application/json");

    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> buffers;
    QHash<QTcpSocket *, Stream> streams;
    QHash<QString, Fault> faults;
    QHash<QByteArray, QPair<int, QByteArray>> rawReplies;
    int activationStatus = 200;
    QString activationMessage;
    qint64 throttle = 0;
    QTimer *ticker;
};

Q_DECLARE_METATYPE(FaultyFileServer::Fault)
