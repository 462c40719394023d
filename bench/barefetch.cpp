// A bare program on Qt's network stack: one QNetworkAccessManager fetching
// "url<TAB>file" lines with N transfers at once into a folder, bytes handed
// straight to the file on the same thread. No checks, no syncing, no
// hashing, no card: what is left between it and curl is the stack's own.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cstdio>
#include <functional>
#include <memory>

#include "service/chartservice.h"
#include "service/extracatrust.h"

namespace {

struct Entry
{
    QUrl url;
    QString path;
};

QList<Entry> readList(const QString &listPath, const QString &folder)
{
    QList<Entry> entries;
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly))
        return entries;
    while (!list.atEnd()) {
        const QList<QByteArray> fields = list.readLine().trimmed().split('\t');
        if (fields.size() >= 2) {
            entries.append(
                {QUrl(QString::fromUtf8(fields.at(0))), folder + QLatin1Char('/') + QString::fromUtf8(fields.at(1))});
        }
    }
    return entries;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fputs("usage: quorvel-bare-fetch LIST FOLDER CONCURRENCY\n", stderr);
        return 2;
    }
    ExtraCaTrust::installFromEnvironment();
    const QList<Entry> entries = readList(args.at(1), args.at(2));
    const int concurrency = qMax(1, args.at(3).toInt());
    if (entries.isEmpty()) {
        std::fputs("error=empty or unreadable list\n", stderr);
        return 2;
    }

    QNetworkAccessManager manager;
    qsizetype next = 0;
    int running = 0;
    int failed = 0;
    QElapsedTimer clock;
    clock.start();
    std::function<void()> startMore = [&] {
        while (running < concurrency && next < entries.size()) {
            const Entry entry = entries.at(next++);
            QDir().mkpath(QFileInfo(entry.path).path());
            auto file = std::make_shared<QFile>(entry.path);
            if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                ++failed;
                continue;
            }
            ++running;
            // The request the tool sends, HTTP/2 allowed or not alike.
            QNetworkReply *reply = manager.get(ChartService::fileRequest(entry.url.toString()));
            reply->setReadBufferSize(1 << 20);
            const auto drain = [reply, file] {
                char piece[64 * 1024];
                for (qint64 got; (got = reply->read(piece, sizeof piece)) > 0;)
                    file->write(piece, got);
            };
            QObject::connect(reply, &QNetworkReply::readyRead, drain);
            QObject::connect(reply, &QNetworkReply::finished, [&, reply, file, drain] {
                drain();
                if (reply->error() != QNetworkReply::NoError)
                    ++failed;
                file->close();
                reply->deleteLater();
                --running;
                if (running == 0 && next == entries.size())
                    app.quit();
                else
                    startMore();
            });
        }
    };
    startMore();
    if (running > 0)
        app.exec();
    std::printf("wall_s=%.3f\nfiles=%lld\nfailed=%d\n", double(clock.nsecsElapsed()) / 1e9,
                static_cast<long long>(entries.size()), failed);
    return failed == 0 ? 0 : 1;
}
