// A bare program on Qt's network stack: one QNetworkAccessManager fetching
// "url<TAB>file[<TAB>sha1]" lines with N transfers at once into a folder,
// bytes handed straight to the file on the same thread. No checks, no
// syncing, no hashing, no card: what is left between it and curl is the
// stack's own.
//
// --read-ahead fetches the same way through connections that read ahead,
// as the tool fetches its small files over plain HTTP
// (ReadAheadProxyFactory): Qt's stack as the tool uses it, still doing
// nothing else. Every mode below that fetches does so too.
//
// With --prove it also proves the files as the tool does, and does nothing
// else: SHA-1 and the written bytes' digest as they arrive, one syncfs for
// every batch of ended files, each file read back past the page cache beside
// the transfers, and after the last write the tool's sampled blocks of every
// file read again. --prove-at-end flushes once after the last transfer and
// only then reads back, on eight readers. What is left between the better of
// the two and the tool is the engine's own cost.
//
// --disk-from SOURCE fetches nothing: it proves the files an earlier fetch
// left in SOURCE as --prove does, written anew into FOLDER from memory by
// CONCURRENCY writers. What the proof asks of the disk alone; no engine
// that overlaps it perfectly with the transfers takes less than the longer
// of the two.
//
// --fetch-beside-disk-from SOURCE does both at once: the disk's proof as
// above and, from the same instant, the fetch of every file with its SHA-1
// and digest taken as --prove takes them, the bytes then dropped. That is
// the proving fetcher's whole work with no order between its parts: no
// file waits for its own bytes before it is flushed and read back, and the
// look after the last write still comes last. No engine that does that
// work on this machine takes less.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "card/cardfile.h"
#include "card/contentdigest.h"
#include "card/sha1stream.h"
#include "download/readaheadproxyfactory.h"
#include "prover.h"
#include "service/chartservice.h"
#include "service/extracatrust.h"

namespace {

struct Entry
{
    QUrl url;
    QString name; // as the list gives it, relative to the folder
    QString path;
    QByteArray sha1;
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
            const QString name = QString::fromUtf8(fields.at(1));
            entries.append({QUrl(QString::fromUtf8(fields.at(0))), name, folder + QLatin1Char('/') + name,
                            fields.size() >= 3 ? fields.at(2) : QByteArray()});
        }
    }
    return entries;
}

// Fetches every entry, N at a time, into its file; with keep false the bytes
// are hashed as the proof hashes them and dropped.
int fetchAll(const QList<Entry> &entries, int concurrency, Prover *prover, bool keep, bool readAhead)
{
    QNetworkAccessManager manager;
    if (readAhead)
        manager.setProxyFactory(new ReadAheadProxyFactory);
    qsizetype next = 0;
    int running = 0;
    int failed = 0;
    std::function<void()> startMore = [&] {
        while (running < concurrency && next < entries.size()) {
            const Entry entry = entries.at(next++);
            std::shared_ptr<QFile> file;
            if (keep) {
                QDir().mkpath(QFileInfo(entry.path).path());
                file = std::make_shared<QFile>(entry.path);
                if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                    ++failed;
                    continue;
                }
            }
            ++running;
            // The request the tool sends, HTTP/2 allowed or not alike.
            QNetworkReply *reply = manager.get(ChartService::fileRequest(entry.url.toString()));
            reply->setReadBufferSize(1 << 20);
            // The tool's own SHA-1 and digest, so that only the engine
            // around them differs.
            std::shared_ptr<Sha1Stream> sha1;
            std::shared_ptr<ContentDigest> digest;
            if (prover || !keep) {
                sha1 = std::make_shared<Sha1Stream>();
                digest = std::make_shared<ContentDigest>();
            }
            const auto drain = [reply, file, sha1, digest] {
                char piece[64 * 1024];
                for (qint64 got; (got = reply->read(piece, sizeof piece)) > 0;) {
                    if (file)
                        file->write(piece, got);
                    if (sha1) {
                        sha1->update(piece, got);
                        digest->update(piece, got);
                    }
                }
            };
            QObject::connect(reply, &QNetworkReply::readyRead, drain);
            QObject::connect(reply, &QNetworkReply::finished, [&, reply, file, drain, sha1, digest, entry] {
                drain();
                if (reply->error() != QNetworkReply::NoError)
                    ++failed;
                if (file)
                    file->close();
                if (sha1) {
                    if (!Sha1Stream::sameDigest(sha1->hexDigest(), entry.sha1))
                        ++failed;
                    else if (prover)
                        prover->ended(entry.path, digest->value());
                }
                reply->deleteLater();
                --running;
                if (running == 0 && next == entries.size())
                    QCoreApplication::quit();
                else
                    startMore();
            });
        }
    };
    startMore();
    if (running > 0)
        QCoreApplication::exec();
    return failed;
}

// Every file's bytes are read from the source and their digests taken
// before the clock starts, so that only the writing and the proof count.
int proveFromMemory(const QList<Entry> &entries, const QString &source, const QString &folder, int concurrency,
                    bool besideFetch)
{
    std::vector<QByteArray> bytes(size_t(entries.size()));
    std::vector<ContentDigest::Value> digests(size_t(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QFile file(source + QLatin1Char('/') + entries.at(i).name);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "error=cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        bytes[size_t(i)] = file.readAll();
        digests[size_t(i)] = ContentDigest::of(bytes[size_t(i)].constData(), bytes[size_t(i)].size());
        QDir().mkpath(QFileInfo(entries.at(i).path).path());
    }
    ::sync();

    Prover prover(folder, false);
    std::atomic<qsizetype> next{0};
    std::atomic<int> failed{0};
    QElapsedTimer clock;
    clock.start();
    const auto write = [&] {
        for (qsizetype at; (at = next++) < entries.size();) {
            const QByteArray &data = bytes[size_t(at)];
            const int fd = ::open(QFile::encodeName(entries.at(at).path).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            bool written = fd >= 0;
            // In the pieces a transfer hands over, write-back started as the
            // tool starts it: without it, a large file waited for all of its
            // write-back at the flush, which the tool never does.
            constexpr qsizetype piece = 64 * 1024;
            qsizetype writebackFrom = 0;
            for (qsizetype done = 0; written && done < data.size();) {
                const ssize_t wrote = ::write(fd, data.constData() + done, size_t(qMin(piece, data.size() - done)));
                written = wrote > 0;
                done += qMax<ssize_t>(wrote, 0);
                if (done - writebackFrom >= CardFile::writebackRun) {
                    ::sync_file_range(fd, off_t(writebackFrom), off_t(done - writebackFrom),
                                      SYNC_FILE_RANGE_WRITE);
                    writebackFrom = done;
                }
            }
            if (fd >= 0)
                written = ::close(fd) == 0 && written;
            if (written)
                prover.ended(entries.at(at).path, digests[size_t(at)]);
            else
                ++failed;
        }
    };
    std::vector<std::thread> writers(size_t(qMax(1, concurrency)));
    for (std::thread &writer : writers)
        writer = std::thread(write);
    double fetchTook = 0;
    if (besideFetch) {
        failed += fetchAll(entries, concurrency, nullptr, false, true);
        fetchTook = double(clock.nsecsElapsed()) / 1e9;
    }
    for (std::thread &writer : writers)
        writer.join();
    failed += prover.finish();
    if (besideFetch)
        std::printf("fetch_s=%.3f\n", fetchTook);
    std::printf("sample_s=%.3f\nwall_s=%.3f\nfiles=%lld\nfailed=%d\n", prover.sampleSeconds(),
                double(clock.nsecsElapsed()) / 1e9, static_cast<long long>(entries.size()), failed.load());
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.size() >= 5 ? args.at(4) : QString();
    const bool prove = mode == QLatin1String("--prove") || mode == QLatin1String("--prove-at-end");
    const bool readAhead = prove || mode == QLatin1String("--read-ahead");
    const bool besideFetch = mode == QLatin1String("--fetch-beside-disk-from");
    const bool diskOnly = (besideFetch || mode == QLatin1String("--disk-from")) && args.size() == 6;
    if (args.size() != 4 && !(readAhead && args.size() == 5) && !diskOnly) {
        std::fputs("usage: quorvel-bare-fetch LIST FOLDER CONCURRENCY\n"
                   "           [--read-ahead | --prove | --prove-at-end | --disk-from SOURCE |\n"
                   "            --fetch-beside-disk-from SOURCE]\n",
                   stderr);
        return 2;
    }
    ExtraCaTrust::installFromEnvironment();
    const QList<Entry> entries = readList(args.at(1), args.at(2));
    const int concurrency = qMax(1, args.at(3).toInt());
    if (entries.isEmpty()) {
        std::fputs("error=empty or unreadable list\n", stderr);
        return 2;
    }

    QDir().mkpath(args.at(2));
    if (diskOnly)
        return proveFromMemory(entries, args.at(5), args.at(2), concurrency, besideFetch);
    std::unique_ptr<Prover> prover;
    if (prove)
        prover = std::make_unique<Prover>(args.at(2), mode == QLatin1String("--prove-at-end"));

    QElapsedTimer clock;
    clock.start();
    int failed = fetchAll(entries, concurrency, prover.get(), true, readAhead);
    if (prover) {
        std::printf("fetch_s=%.3f\n", double(clock.nsecsElapsed()) / 1e9);
        failed += prover->finish();
        std::printf("sample_s=%.3f\nsample_machine_cpu_s=%.3f\n", prover->sampleSeconds(),
                    prover->sampleBusySeconds());
    }
    std::printf("wall_s=%.3f\nfiles=%lld\nfailed=%d\n", double(clock.nsecsElapsed()) / 1e9,
                static_cast<long long>(entries.size()), failed);
    return failed == 0 ? 0 : 1;
}
