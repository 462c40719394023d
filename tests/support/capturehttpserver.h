#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

// A small HTTP/1.1 server on 127.0.0.1 that records every request it gets and
// answers each with one canned reply. Tests use it to check what the tool
// puts on the wire without mocking Qt's network classes.
class CaptureHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QList<QPair<QByteArray, QByteArray>> headers; // in the order received
        QByteArray body;

        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
    };

    explicit CaptureHttpServer(QObject *parent = nullptr);

    bool listen();
    QString baseUrl() const;

    void setReply(int status, const QByteArray &body,
                  const QByteArray &contentType = "application/json");

    QList<Request> requests;

signals:
    void requestReceived();

private:
    void handleConnection();
    void handleData(QTcpSocket *socket);

    // Declared before the server: its sockets say goodbye while it is
    // destroyed, and their handler still needs the buffers.
    QHash<QTcpSocket *, QByteArray> buffers;
    QTcpServer server;
    int replyStatus = 200;
    QByteArray replyBody = "{}";
    QByteArray replyType = "application/json";
};
