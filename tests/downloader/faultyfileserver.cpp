#include "faultyfileserver.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

FaultyFileServer::FaultyFileServer(QObject *parent)
    : QObject(parent)
    , ticker(new QTimer(this))
{
    connect(&server, &QTcpServer::newConnection, this, &FaultyFileServer::handleConnection);
    ticker->setInterval(10);
    connect(ticker, &QTimer::timeout, this, [this] {
        const QList<QTcpSocket *> sockets = streams.keys();
        for (QTcpSocket *socket : sockets)
            pump(socket);
    });
    ticker->start();
}

FaultyFileServer::~FaultyFileServer()
{
    // Sockets first: their disconnect handlers touch the tables.
    const QList<QTcpSocket *> sockets = buffers.keys();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

bool FaultyFileServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString FaultyFileServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

QString FaultyFileServer::originUrl() const
{
    return baseUrl() + QStringLiteral("/origin/");
}

QString FaultyFileServer::cdnUrl() const
{
    return baseUrl() + QStringLiteral("/cdn/");
}

QJsonObject FaultyFileServer::addFile(const QString &path, const QByteArray &content, const QByteArray &inlineData)
{
    contents.insert(path, content);
    QJsonObject record{{QStringLiteral("file"), path},
                       {QStringLiteral("size"), double(content.size())},
                       {QStringLiteral("sha1"), QString::fromLatin1(
                                                    QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex())},
                       {QStringLiteral("etag"), QStringLiteral("e-%1").arg(qHash(content), 0, 16)},
                       {QStringLiteral("mtime"), 1700000000}};
    if (!inlineData.isEmpty())
        record.insert(QStringLiteral("data"), QString::fromLatin1(inlineData.toBase64()));
    return record;
}

void FaultyFileServer::setFault(const QString &path, const Fault &fault)
{
    faults.insert(path, fault);
}

void FaultyFileServer::setThrottle(qint64 bytesPerTick)
{
    throttle = bytesPerTick;
}

void FaultyFileServer::setActivation(const QJsonArray &files, int status, const QString &message)
{
    activationFiles = files;
    activationStatus = status;
    activationMessage = message;
}

void FaultyFileServer::setRawReply(const QByteArray &path, const QByteArray &body, int status)
{
    rawReplies.insert(path, {status, body});
}

void FaultyFileServer::setSegments(const QString &chartName, const QJsonArray &files)
{
    const QByteArray path = "/api/smn/GetSegments/" + QUrl::toPercentEncoding(chartName);
    const QJsonObject reply{{QStringLiteral("files"), files},
                            {QStringLiteral("end_point"), originUrl()},
                            {QStringLiteral("cdn_end_point"), cdnUrl()}};
    rawReplies.insert(path, {200, QJsonDocument(reply).toJson()});
}

int FaultyFileServer::fileRequests() const
{
    int count = 0;
    for (const Request &request : requests)
        count += request.method == "GET" ? 1 : 0;
    return count;
}

void FaultyFileServer::handleConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handleData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            streams.remove(socket);
            socket->deleteLater();
        });
    }
}

void FaultyFileServer::handleData(QTcpSocket *socket)
{
    QByteArray &buffer = buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qint64 length = request.headers.value("content-length").toLongLong();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        requests.append(request);
        respond(socket, request);
        emit requestReceived();
        if (!buffers.contains(socket))
            return;
    }
}

void FaultyFileServer::writeSimple(QTcpSocket *socket, int status, const QByteArray &body, const QByteArray &type)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + " X\r\n";
    response += "Content-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    socket->write(response + body);
}

void FaultyFileServer::respond(QTcpSocket *socket, const Request &request)
{
    if (request.method == "GET") {
        const QString path = QUrl::fromPercentEncoding(request.path);
        for (const QString &prefix : {QStringLiteral("/origin/"), QStringLiteral("/cdn/")}) {
            if (path.startsWith(prefix)) {
                serveFile(socket, request, path.mid(prefix.size()));
                return;
            }
        }
        writeSimple(socket, 404, R"({"message":"not found"})");
        return;
    }
    if (rawReplies.contains(request.path)) {
        const auto reply = rawReplies.value(request.path);
        writeSimple(socket, reply.first, reply.second, "application/octet-stream");
        return;
    }
    if (request.path == "/api/smn/ActivateProduct") {
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        if (!body.contains(QStringLiteral("sku"))) {
            writeSimple(socket, 200, "{}");
            return;
        }
        if (activationStatus != 200) {
            writeSimple(socket, activationStatus,
                        QJsonDocument(QJsonObject{{QStringLiteral("message"), activationMessage}}).toJson());
            return;
        }
        const QJsonObject reply{{QStringLiteral("files"), activationFiles},
                                {QStringLiteral("end_point"), originUrl()},
                                {QStringLiteral("cdn_end_point"), cdnUrl()},
                                {QStringLiteral("subscription_id"), 77},
                                {QStringLiteral("expiration"), 1900000000}};
        writeSimple(socket, 200, QJsonDocument(reply).toJson());
        return;
    }
    writeSimple(socket, 404, R"({"message":"Unknown call"})");
}

void FaultyFileServer::serveFile(QTcpSocket *socket, const Request &request, const QString &path)
{
    if (!contents.contains(path)) {
        writeSimple(socket, 404, R"({"message":"no such file"})");
        return;
    }
    QByteArray content = contents.value(path);
    Stream stream;
    auto fault = faults.find(path);
    if (fault != faults.end() && fault->times > 0) {
        fault->times--;
        stream.fault = *fault;
        stream.faulty = true;
    }
    if (stream.faulty && stream.fault.status) {
        writeSimple(socket, stream.fault.status, R"({"message":"Internal Server Error"})");
        return;
    }

    const QByteArray etag = QByteArray("e-") + QByteArray::number(qHash(content), 16);
    QByteArray head;
    const QByteArray range = request.headers.value("range");
    qint64 from = 0;
    if (!range.isEmpty()) {
        from = range.mid(6, range.indexOf('-') - 6).toLongLong();
        if (from >= content.size()) {
            writeSimple(socket, 416, "");
            return;
        }
        head = "HTTP/1.1 206 Partial Content\r\n";
        head += "Content-Range: bytes " + QByteArray::number(from) + "-" + QByteArray::number(content.size() - 1)
                    + "/" + QByteArray::number(content.size()) + "\r\n";
    } else {
        head = "HTTP/1.1 200 OK\r\n";
    }
    stream.body = content.mid(from);
    head += "Content-Type: application/octet-stream\r\nETag: \"" + etag + "\"\r\nContent-Length: "
            + QByteArray::number(stream.body.size()) + "\r\n\r\n";
    socket->write(head);
    streams.insert(socket, stream);
    pump(socket);
}

void FaultyFileServer::pump(QTcpSocket *socket)
{
    auto it = streams.find(socket);
    if (it == streams.end())
        return;
    // Keep the socket's own buffer short, so that a throttled body really
    // trickles and a pause on the client side is seen at once.
    if (socket->bytesToWrite() > 256 * 1024)
        return;
    qint64 piece = throttle > 0 ? throttle : it->body.size() - it->sent;
    if (it->faulty && it->fault.closeAfter >= 0)
        piece = qMin(piece, it->fault.closeAfter - it->sent);
    piece = qMin(piece, it->body.size() - it->sent);
    if (piece > 0) {
        socket->write(it->body.constData() + it->sent, piece);
        it->sent += piece;
    }
    if (it->faulty && it->fault.closeAfter >= 0 && it->sent >= it->fault.closeAfter) {
        streams.erase(it);
        socket->flush();
        socket->disconnectFromHost();
        return;
    }
    if (it->sent >= it->body.size())
        streams.erase(it);
}
