#include "capturehttpserver.h"

#include <QTcpSocket>

QByteArray CaptureHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

bool CaptureHttpServer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

CaptureHttpServer::CaptureHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &CaptureHttpServer::handleConnection);
}

bool CaptureHttpServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString CaptureHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

void CaptureHttpServer::setReply(int status, const QByteArray &body, const QByteArray &contentType)
{
    replyStatus = status;
    replyBody = body;
    replyType = contentType;
}

void CaptureHttpServer::handleConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handleData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void CaptureHttpServer::handleData(QTcpSocket *socket)
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
        qint64 length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                length = value.toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        requests.append(request);

        QByteArray response = "HTTP/1.1 " + QByteArray::number(replyStatus) + " Canned\r\n";
        response += "Content-Type: " + replyType + "\r\n";
        response += "Content-Length: " + QByteArray::number(replyBody.size()) + "\r\n\r\n";
        response += replyBody;
        socket->write(response);
        emit requestReceived();
    }
}
