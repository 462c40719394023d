#include "rangefileserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

RangeFileServer::RangeFileServer(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &RangeFileServer::handleConnection);
}

RangeFileServer::~RangeFileServer()
{
    for (QTcpSocket *socket : std::as_const(held))
        socket->abort();
}

bool RangeFileServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString RangeFileServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

void RangeFileServer::addFile(const QByteArray &path, const QByteArray &content, const QByteArray &etag)
{
    files.insert(path, {content, etag});
}

void RangeFileServer::setFault(Fault newFault, int count, qint64 closeAfter, int stallMs)
{
    fault = newFault;
    faultCount = count;
    faultCloseAfter = closeAfter;
    faultStallMs = stallMs;
}

void RangeFileServer::handleConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handleData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            held.removeAll(socket);
            socket->deleteLater();
        });
    }
}

void RangeFileServer::handleData(QTcpSocket *socket)
{
    QByteArray &buffer = buffers[socket];
    buffer += socket->readAll();
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    buffer.clear();
    Served request;
    request.path = lines.value(0).trimmed().split(' ').value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        if (name.compare("Range", Qt::CaseInsensitive) == 0)
            request.range = line.mid(colon + 1).trimmed();
        else if (name.compare("Accept-Encoding", Qt::CaseInsensitive) == 0)
            request.acceptEncoding = line.mid(colon + 1).trimmed();
    }
    served.append(request);
    respond(socket, request.path, request.range);
    emit requestServed();
}

void RangeFileServer::respond(QTcpSocket *socket, const QByteArray &path, const QByteArray &range)
{
    Fault active = None;
    if (faultCount > 0) {
        active = fault;
        --faultCount;
    }
    const qint64 closeAfter = faultCloseAfter;
    const int stallMs = faultStallMs;

    if (!files.contains(path)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const Entry &entry = files[path];
    const qint64 size = entry.content.size();

    if (active == Status500) {
        socket->write("HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\n"
                      "Content-Length: 21\r\nConnection: close\r\n\r\nsomething went wrong\n");
        socket->disconnectFromHost();
        return;
    }
    if (active == StallBeforeHeaders) {
        held.append(socket);
        if (stallMs >= 0) {
            QPointer<QTcpSocket> guarded(socket);
            QTimer::singleShot(stallMs, this, [this, guarded, path, range] {
                if (guarded)
                    respond(guarded, path, range);
            });
        }
        return;
    }

    QByteArray status = "200 OK";
    QByteArray body = entry.content;
    QByteArray contentRange;
    if (range.startsWith("bytes=") && active != IgnoreRange) {
        const QList<QByteArray> bounds = range.mid(6).split('-');
        const qint64 first = bounds.value(0).toLongLong();
        qint64 last = bounds.value(1).isEmpty() ? size - 1 : bounds.value(1).toLongLong();
        last = qMin(last, size - 1);
        if (first >= size) {
            socket->write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        status = "206 Partial Content";
        qint64 start = first;
        if (active == WrongRangeStart)
            start = qMin(first + 1, last);
        body = entry.content.mid(start, last - start + 1);
        contentRange = "bytes " + QByteArray::number(start) + "-" + QByteArray::number(last) + "/" +
                       QByteArray::number(size);
        if (active == NoContentRange)
            contentRange.clear();
        if (active == ShortNoContentRange) {
            contentRange.clear();
            body.truncate(body.size() / 2);
        }
    }
    if (active == ExtraByte)
        body.append('X');

    QByteArray head = "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\n";
    if (active != CleanShortBody)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!contentRange.isEmpty())
        head += "Content-Range: " + contentRange + "\r\n";
    if (!entry.etag.isEmpty())
        head += "ETag: " + entry.etag + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    switch (active) {
    case CloseMidBody:
    case CleanShortBody:
        socket->write(body.left(closeAfter));
        socket->disconnectFromHost();
        return;
    case Stall: {
        socket->write(body.left(closeAfter));
        held.append(socket);
        if (stallMs >= 0) {
            QPointer<QTcpSocket> guarded(socket);
            const QByteArray rest = body.mid(closeAfter);
            QTimer::singleShot(stallMs, this, [guarded, rest] {
                if (guarded) {
                    guarded->write(rest);
                    guarded->disconnectFromHost();
                }
            });
        }
        return;
    }
    default:
        socket->write(body);
        socket->disconnectFromHost();
        return;
    }
}
