#include "service/servicereply.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkReply>

#include <utility>

#include "base/utilities.h"

Q_LOGGING_CATEGORY(lcService, "quorvel.service")

int ServiceReply::quietSeconds = Utilities::watchdogSecondsFromEnvironment();

void ServiceReply::setQuietLimit(int seconds)
{
    quietSeconds = seconds > 0 ? seconds : Utilities::defaultWatchdogSeconds;
}

int ServiceReply::quietLimit()
{
    return quietSeconds;
}

ServiceReply::ServiceReply(QNetworkReply *reply, QObject *parent)
    : QObject(parent)
    , network(reply)
{
    network->setParent(this);
    const auto stop = [this] {
        tooLarge = true;
        network->abort();
    };
    connect(network, &QNetworkReply::metaDataChanged, this, [this, stop] {
        const QVariant length = network->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBodySize)
            stop();
        else if (length.isValid() && length.toLongLong() > 0)
            received.reserve(length.toLongLong());
    });
    // Taken as it arrives: the reply would otherwise hold a long list in
    // thousands of pieces until the end and then copy it whole, twice the
    // list in memory (a file list of 200,000 records is some 30 MB).
    connect(network, &QNetworkReply::readyRead, this, [this, stop] {
        if (tooLarge)
            return;
        if (received.size() + network->bytesAvailable() > maxBodySize)
            stop();
        else
            takeAvailable();
    });
    connect(network, &QNetworkReply::downloadProgress, this, [this, stop](qint64 received, qint64) {
        count(received, &lastReceived);
        if (received > maxBodySize)
            stop();
    });
    connect(network, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64) { count(sent, &lastSent); });
    connect(network, &QNetworkReply::finished, this, &ServiceReply::handleFinished);
    connect(&quietWatch, &QTimer::timeout, this, &ServiceReply::lookForProgress);
    quietWatch.start(quietSeconds * 1000);
}

ServiceReply::~ServiceReply() = default;

void ServiceReply::abort()
{
    quietWatch.stop();
    disconnect(network, nullptr, this, nullptr);
    network->abort();
    deleteLater();
}

void ServiceReply::takeAvailable()
{
    // Straight into the body: readAll() made a block of its own for every
    // piece, which the window's thread faulted in page by page and then
    // copied again (a long list arrives in pieces of megabytes, each a stall).
    const qint64 available = network->bytesAvailable();
    if (available <= 0)
        return;
    const qsizetype before = received.size();
    received.resize(before + available);
    const qint64 got = network->read(received.data() + before, available);
    received.resize(before + qMax<qint64>(0, got));
}

void ServiceReply::count(qint64 soFar, qint64 *last)
{
    // A redirect followed starts the counts again from nothing.
    bytesMoved += qMax<qint64>(0, soFar - *last);
    *last = soFar;
}

void ServiceReply::lookForProgress()
{
    if (bytesMoved - bytesAtLook >= quietBytes) {
        bytesAtLook = bytesMoved;
        return;
    }
    qCInfo(lcService) << network->url().path() << bytesMoved - bytesAtLook << "bytes in" << quietSeconds
                      << "seconds: given up";
    quietWatch.stop();
    stalled = true;
    network->abort();
}

QString ServiceReply::unreadableText()
{
    return QStringLiteral("The chart service sent a reply the tool cannot read. Nothing on the card was changed.");
}

void ServiceReply::handleFinished()
{
    quietWatch.stop();
    // Read whole only when within the limit: read(maxBodySize + 1) sets
    // aside that much room for every reply, however short.
    const bool withinLimit = received.size() + network->bytesAvailable() <= maxBodySize;
    if (withinLimit)
        takeAvailable();
    const QByteArray body = withinLimit ? std::exchange(received, QByteArray()) : QByteArray();
    tooLarge = tooLarge || !withinLimit;
    failure.status = network->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A body Qt could not decode (labelled with a coding it is not in), or
    // redirects that lead nowhere (in a loop, to a file: address), are a
    // reply nobody can read, whatever its status said.
    const QNetworkReply::NetworkError code = network->error();
    const bool unanswerable = code == QNetworkReply::UnknownContentError || code == QNetworkReply::TooManyRedirectsError
                              || code == QNetworkReply::InsecureRedirectError
                              || code == QNetworkReply::ProtocolUnknownError;
    if (stalled) {
        failure.kind = ServiceError::Network;
        failure.status = 0;
        failure.message = QStringLiteral("The chart service did not answer for %1 seconds.").arg(quietSeconds);
    } else if (tooLarge || body.size() > maxBodySize || unanswerable) {
        failure.kind = ServiceError::Unreadable;
        failure.message = unreadableText();
    } else if (network->error() != QNetworkReply::NoError) {
        // Qt's codes below 200 are the connection's (refused, reset, timed
        // out, closed mid-answer: the status line may have come first);
        // from 200 on the service answered with an error status and said no.
        const QJsonObject object = QJsonDocument::fromJson(body).object();
        failure.kind = int(network->error()) < 200 ? ServiceError::Network : ServiceError::Refused;
        failure.code = object.value(QStringLiteral("error")).toString();
        failure.message = object.value(QStringLiteral("message")).toString();
        // An error status without words of the service's own is left for
        // each face to word; without an answer, the network's words serve.
        if (failure.message.isEmpty() && failure.kind == ServiceError::Network)
            failure.message = network->errorString();
    } else {
        QString why;
        if (!parse(body, &why)) {
            failure.kind = ServiceError::Unreadable;
            failure.message = unreadableText();
            qCWarning(lcService) << network->url().path() << "answer refused:" << why;
        }
    }
    if (!failure.ok())
        qCInfo(lcService) << network->url().path() << "failed:" << failure.status << failure.code << failure.message;
    emit finished();
    deleteLater();
}
