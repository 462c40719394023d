#pragma once

#include <QByteArray>
#include <QString>

class QNetworkReply;

// The engine's side of a service reply it acts on: the body is limited while
// it arrives (a reply that grows past the limit is aborted rather than
// buffered), and every reply ends as one of three outcomes.
class ServiceReply
{
public:
    // Far above any real file list (a 2,000-file product is under 1 MiB).
    static constexpr qint64 maxBodySize = 64 * 1024 * 1024;

    enum class Outcome {
        Ok,         // status 200, body within the limit
        Refused,    // the service or the network said no; message says why
        Unreadable, // too large, or cut off by the limit
    };

    // Watches a reply just sent; call before connecting its handler.
    static void limit(QNetworkReply *reply, qint64 maximum = maxBodySize);
    static Outcome read(QNetworkReply *reply, QByteArray *body, QString *message);

    static QString unreadableText();
};
