#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

#include "service/serviceerror.h"

class QNetworkReply;

// One call to the chart service in flight. The body is limited while it
// arrives (an answer that grows past the limit is aborted rather than
// buffered), a call that brings next to nothing for a while is given up,
// and the call ends once, with finished(): then either error()
// says why it failed or the typed value of ServiceCall<T> holds the parsed
// answer. The object deletes itself after finished() has been delivered.
class ServiceReply : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceReply)

public:
    // Far above any real answer (a 2,000-file product list is under 1 MiB;
    // 200,000 records are about 40 MiB).
    static constexpr qint64 maxBodySize = 64 * 1024 * 1024;
    // A call that moves fewer than quietBytes in quietLimit() seconds fails
    // as the network's: a service that holds the connection open and says
    // nothing, or a byte now and then, would otherwise hold the tool for
    // ever. The limit is QUORVEL_WATCHDOG_SECONDS (60 by default), as for a
    // file's transfer; tests shorten it here.
    static constexpr qint64 quietBytes = 1024;
    static void setQuietLimit(int seconds);
    static int quietLimit();

    ~ServiceReply() override;

    const ServiceError &error() const { return failure; }
    bool ok() const { return failure.ok(); }
    // Stops the call; finished() is not emitted.
    void abort();

    static QString unreadableText();

signals:
    void finished();

protected:
    ServiceReply(QNetworkReply *reply, QObject *parent);
    // Fills the typed value from a body of status 200; false (with why) when
    // the body is not what the call expects.
    virtual bool parse(const QByteArray &body, QString *why) = 0;

private:
    void handleFinished();
    // Appends what the reply holds to the body.
    void takeAvailable();
    // Adds what a count of the network's grew by since *last.
    void count(qint64 soFar, qint64 *last);
    // Gives the call up when too little moved since the last look.
    void lookForProgress();

    QNetworkReply *network;
    ServiceError failure;
    bool tooLarge = false;
    QByteArray received; // the body so far
    QTimer quietWatch;
    qint64 bytesMoved = 0;  // sent and received
    qint64 bytesAtLook = 0; // bytesMoved at quietWatch's last look
    qint64 lastSent = 0;    // the network's counts, as last told
    qint64 lastReceived = 0;
    bool stalled = false;
    static int quietSeconds;
};

// A call whose answer is read into a T.
template<typename T>
class ServiceCall final : public ServiceReply
{
public:
    using Parser = std::function<bool(const QByteArray &body, T *value, QString *why)>;

    ServiceCall(QNetworkReply *reply, Parser parser, QObject *parent)
        : ServiceReply(reply, parent)
        , reader(std::move(parser))
    {
    }

    const T &value() const { return parsed; }

protected:
    bool parse(const QByteArray &body, QString *why) override { return reader(body, &parsed, why); }

private:
    Parser reader;
    T parsed{};
};
