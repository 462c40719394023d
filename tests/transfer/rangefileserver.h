#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// An HTTP/1.1 file server on 127.0.0.1 that serves byte ranges the way a
// CDN does, and misbehaves on request in the ways real servers do.
class RangeFileServer : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        None,
        IgnoreRange,       // 200 with the whole file, whatever was asked
        NoContentRange,    // 206 with the range, but no Content-Range header
        ShortNoContentRange, // 206 with fewer bytes than asked and no Content-Range
        WrongRangeStart,   // 206 whose Content-Range starts elsewhere
        CloseMidBody,      // Content-Length sent, connection closed after closeAfter bytes
        CleanShortBody,    // no Content-Length, body ends cleanly after closeAfter bytes
        Stall,             // closeAfter bytes, then nothing for stallMs (forever if < 0)
        StallBeforeHeaders,
        Status500,
        ExtraByte,         // one byte more than the file holds
    };

    struct Served
    {
        QByteArray path;
        QByteArray range; // empty: no Range header
        QByteArray acceptEncoding;
    };

    explicit RangeFileServer(QObject *parent = nullptr);
    ~RangeFileServer() override;

    bool listen();
    QString baseUrl() const;

    // etag as it goes on the wire (quotes included when wanted)
    void addFile(const QByteArray &path, const QByteArray &content, const QByteArray &etag = QByteArray());

    // Applies to the next `count` requests, then the server behaves again.
    void setFault(Fault fault, int count = 1, qint64 closeAfter = 0, int stallMs = -1);

    QList<Served> served;

signals:
    void requestServed();

private:
    void handleConnection();
    void handleData(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &path, const QByteArray &range);

    struct Entry
    {
        QByteArray content;
        QByteArray etag;
    };
    QHash<QByteArray, Entry> files;
    QHash<QTcpSocket *, QByteArray> buffers;
    QList<QTcpSocket *> held; // stalled sockets kept open until destruction
    QTcpServer server;
    Fault fault = None;
    int faultCount = 0;
    qint64 faultCloseAfter = 0;
    int faultStallMs = -1;
};
