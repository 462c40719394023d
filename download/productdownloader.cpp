#include "download/productdownloader.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStorageInfo>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

#include <openssl/evp.h>

#include "app/appglobals.h"
#include "app/settings.h"
#include "app/utilities.h"
#include "catalogue/rqsdproduct.h"
#include "download/download.h"
#include "media/mikfile.h"
#include "ui_productdownloader.h"

namespace {

QString prefix(const QString &context)
{
    return QStringLiteral("[%1][%2]").arg(QDateTime::currentDateTime().toString(Qt::TextDate), context);
}

#define OP_TAG QStringLiteral("<%1>[%2]").arg(QLatin1String(__func__)).arg(__LINE__)

// Hashing reads in pieces this large: big enough that the per-call overhead
// vanishes against the digest, small enough that several parallel checks
// never hold more than a few MiB between them.
constexpr qint64 hashPieceSize = 1 << 20;

constexpr int headerSize = Mik::MikFile::headerImageSize;

quint64 headerField64(const QByteArray &image, int offset)
{
    return qFromLittleEndian<quint64>(image.constData() + offset);
}

quint32 headerField32(const QByteArray &image, int offset)
{
    return qFromLittleEndian<quint32>(image.constData() + offset);
}

void setHeaderFlag(QByteArray &image, quint64 flag)
{
    const quint64 flags = headerField64(image, Mik::MikFile::OffsetFlags) | flag;
    qToLittleEndian<quint64>(flags, image.data() + Mik::MikFile::OffsetFlags);
}

QString headerChartName(const QByteArray &image)
{
    return QStringLiteral("%1-%2")
        .arg(headerField32(image, Mik::MikFile::OffsetSkuNumber), 6)
        .arg(headerField32(image, Mik::MikFile::OffsetSkuSuffix));
}

QString replyMessage(QNetworkReply *reply, const QByteArray &body)
{
    const QString message = QJsonDocument::fromJson(body).object().value(QStringLiteral("message")).toString();
    return message.isEmpty() ? reply->errorString() : message;
}

// Digest of the first size bytes of path in lower-case hex; empty when the
// file cannot be read to that length or the check was abandoned.
QByteArray sha1OfFile(const QString &path, qint64 size, const std::atomic_bool &abandon)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context || EVP_DigestInit_ex(context, EVP_sha1(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return QByteArray();
    }
    QByteArray buffer(int(qMin(hashPieceSize, qMax<qint64>(size, 1))), Qt::Uninitialized);
    qint64 left = size;
    bool ok = true;
    while (left > 0) {
        if (abandon) {
            ok = false;
            break;
        }
        const qint64 got = file.read(buffer.data(), qMin<qint64>(left, buffer.size()));
        if (got <= 0) {
            ok = false;
            break;
        }
        EVP_DigestUpdate(context, buffer.constData(), size_t(got));
        left -= got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    if (!ok)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace

ProductDownloader::ProductDownloader(QWidget *parent, AbstractProduct *product)
    : QWidget(parent)
    , headerBlock(headerSize, '\0')
    , ui(new Ui::ProductDownloader)
{
    ui->setupUi(this);
    if (product)
        setProduct(product);
    ui->cancelButton->setEnabled(false);
    ui->pauseButton->setEnabled(false);

    connect(this, &ProductDownloader::redownload, this, &ProductDownloader::handleRedownload);
    connect(this, &ProductDownloader::allDone, this, &ProductDownloader::handleAllDone);

    Settings settings(configFilePath);
    bool ok = false;
    const int stored = settings.valueOrInit(SettingsKeys::downloadConcurrency, QStringLiteral("3")).toInt(&ok);
    const int ideal = QThread::idealThreadCount();
    concurrency = (!ok || stored < 1) ? ideal : qMin(stored, ideal);

    speedTimer.start();
}

ProductDownloader::~ProductDownloader()
{
    // Running checks read this object's transfers: make them stop at their
    // next piece and wait, so none outlives what it reads.
    abandonChecks = true;
    for (QFuture<void> &future : sha1Futures)
        future.waitForFinished();
    for (QFuture<void> &future : backupFutures)
        future.waitForFinished();
    delete ui;
    for (Download *download : std::as_const(downloads))
        download->deleteLater();
}

void ProductDownloader::setProduct(AbstractProduct *newProduct)
{
    product = newProduct;
    sku = product->sku;
    name = product->name;
    productId = product->productId;
    productType = product->productType;
    ui->productName->setText(name);
    // The product's chart state is a slot on its side, fed by the window
    // from this downloader's chartUpdateStatusChange; nothing flows back.
    if (productType == RqSd) {
        if (auto *rq = qobject_cast<RqSdProduct *>(product))
            expectedChartId = sku + QLatin1Char('-') + QString::number(rq->buildNumber) + QLatin1Char('-')
                              + QString::number(rq->buildCode);
    }
}

void ProductDownloader::setMediaIdDir(const QString &dir)
{
    mediaIdDir = dir;
    chosenCard = CardIdentity::fromRoot(dir);
    QFile file(dir + QStringLiteral("/ENCRYPT.TXT"));
    if (file.open(QIODevice::ReadOnly))
        deviceId = QString::fromUtf8(file.readAll());
}

void ProductDownloader::activateProduct()
{
    qDebug() << prefix(sku) << OP_TAG << "Activate Product";
    QJsonObject body{{QStringLiteral("device_id"), deviceId},
                     {QStringLiteral("sku"), sku},
                     {QStringLiteral("session_id"), sessionId}};
    if (productType == RqSd)
        body.insert(QStringLiteral("drm"), QString::fromLatin1(drmBytes.toBase64()));
    activationReply = client.post(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), body,
                                  QStringLiteral("ActivateProduct"));
    connect(activationReply, &QNetworkReply::finished, this, &ProductDownloader::handleActivateProduct);
    if (!sha1Connected) {
        sha1Connected = true;
        connect(this, &ProductDownloader::sha1Passed, this, &ProductDownloader::handleSha1Passed);
    }
    emit statusUpdate(sku, QStringLiteral("Initiating Download."));
}

void ProductDownloader::handleActivateProduct()
{
    QNetworkReply *reply = activationReply;
    if (!reply)
        return;
    const QByteArray body = reply->readAll();
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (reply->error() != QNetworkReply::NoError) {
        emit errorPerm(sku, replyMessage(reply, body));
        reply->deleteLater();
        activationReply = nullptr;
        return;
    }
    if (productType == RqSd) {
        reply->deleteLater();
        activationReply = nullptr;
        return;
    }

    const QJsonArray files = object.value(QStringLiteral("files")).toArray();
    endPoint = object.value(QStringLiteral("end_point")).toString();
    cdnEndPoint = object.value(QStringLiteral("cdn_end_point")).toString();
    subscriptionId = object.value(QStringLiteral("subscription_id")).toInt();

    // Everything below writes or deletes on the card, and the first record
    // even picks a folder to empty: refuse the whole list before touching
    // anything if one record points outside the card.
    if (!cardPresent() || !checkRecordPaths(files)) {
        reply->deleteLater();
        activationReply = nullptr;
        return;
    }

    for (const QJsonValue &value : files) {
        QJsonObject record = value.toObject();
        record.insert(QStringLiteral("dir"), mediaIdDir);
        record.insert(QStringLiteral("end_point"), endPoint);
        record.insert(QStringLiteral("cdn_end_point"), cdnEndPoint);
        totalBytes += record.value(QStringLiteral("size")).toInt();
        const QString file = record.value(QStringLiteral("file")).toString();
        if (Download *old = downloads.value(file))
            old->deleteLater();
        downloads.insert(file, new Download(record, nullptr));
    }

    bool vmidMatches = false;
    QFile vmid(mediaIdDir + QStringLiteral("/vmid"));
    if (vmid.exists() && vmid.open(QIODevice::ReadOnly)) {
        const QString firstLine = QString::fromUtf8(vmid.readLine()).simplified();
        if (firstLine == sku) {
            const QJsonArray stored =
                QJsonDocument::fromJson(vmid.readAll()).object().value(QStringLiteral("files")).toArray();
            if (!stored.isEmpty()) {
                vmidMatches = true;
                for (const QJsonValue &value : stored) {
                    const QJsonObject entry = value.toObject();
                    const QString file = entry.value(QStringLiteral("file")).toString();
                    Download *download = downloads.value(file);
                    if (!download) {
                        qWarning() << prefix(file) << OP_TAG << file << "missing in files";
                        continue;
                    }
                    if (entry.value(QStringLiteral("etag")).toString() != download->etag)
                        download->rewrite = true;
                }
            }
        }
        vmid.close();
    }
    if (!vmidMatches) {
        writeVmid(files);
        emit vmidUpdated(sku);
        clearChartFolder(files);
    }

    updateProgress();

    // Classify in list order rather than hash order, so that the files a
    // user sees first on the card are the first to be looked at.
    for (const QJsonValue &value : files) {
        Download *download = downloads.value(value.toObject().value(QStringLiteral("file")).toString());
        if (!download || classified.contains(download))
            continue;
        classified.insert(download);
        if (!classifyFile(download)) {
            reply->deleteLater();
            activationReply = nullptr;
            return;
        }
    }

    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
    }
    reply->deleteLater();
    activationReply = nullptr;
    updateProgress();
    emit productActivated(subscriptionId, object.value(QStringLiteral("expiration")).toInt(), deviceId);
}

bool ProductDownloader::cardPresent()
{
    if (!mediaIdDir.isEmpty() && QFileInfo(mediaIdDir).isDir())
        return true;
    emit errorPerm(sku, QStringLiteral("Please insert SD card."));
    return false;
}

bool ProductDownloader::insideCardRoot(const QString &relativePath) const
{
    if (relativePath.isEmpty() || relativePath.contains(QLatin1Char('\\')) || relativePath.startsWith(QLatin1Char('/'))
        || relativePath.contains(QLatin1Char(':')) || relativePath.contains(QChar(0)))
        return false;
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }

    // A folder on the card may be a link that leads elsewhere: judge the
    // deepest part of the path that exists by where it really is.
    const QString root = QFileInfo(mediaIdDir).canonicalFilePath();
    if (root.isEmpty())
        return false;
    QString probe = mediaIdDir + QLatin1Char('/') + relativePath;
    QFileInfo info(probe);
    while (!info.exists() && !info.isSymLink()) {
        probe = info.absolutePath();
        info = QFileInfo(probe);
    }
    const QString real = info.canonicalFilePath();
    if (real.isEmpty())
        return false; // a dangling link
    return real == root || real.startsWith(root + QLatin1Char('/'));
}

bool ProductDownloader::checkRecordPaths(const QJsonArray &files)
{
    for (const QJsonValue &value : files) {
        const QString file = value.toObject().value(QStringLiteral("file")).toString();
        if (!insideCardRoot(file)) {
            qWarning() << prefix(file) << OP_TAG << "refused path outside the card";
            emit errorPerm(sku, QStringLiteral("The service sent a file path outside the SD card: \"%1\". "
                                               "Nothing was written.")
                                    .arg(file.toHtmlEscaped()));
            return false;
        }
    }
    return true;
}

void ProductDownloader::writeVmid(const QJsonArray &files)
{
    QJsonArray entries;
    for (const QJsonValue &value : files) {
        const QJsonObject record = value.toObject();
        entries.append(QJsonObject{{QStringLiteral("etag"), record.value(QStringLiteral("etag"))},
                                   {QStringLiteral("file"), record.value(QStringLiteral("file"))}});
    }
    // Written aside and renamed, so that a pulled card or a crash leaves the
    // old list or the new one, never half of it.
    QSaveFile vmid(mediaIdDir + QStringLiteral("/vmid"));
    if (!vmid.open(QIODevice::WriteOnly))
        return;
    vmid.write(sku.toUtf8() + "\r\n");
    vmid.write(QJsonDocument(QJsonObject{{QStringLiteral("files"), entries}}).toJson(QJsonDocument::Indented));
    vmid.commit();
}

void ProductDownloader::clearChartFolder(const QJsonArray &files)
{
    if (files.isEmpty())
        return;
    const QString first = files.first().toObject().value(QStringLiteral("file")).toString();
    if (!first.contains(QLatin1Char('/')))
        return;
    const QString folder = first.split(QLatin1Char('/')).first();
    if (folder.isEmpty())
        return;
    const QDir dir(mediaIdDir + QLatin1Char('/') + folder);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &entry : entries)
        QFile::remove(mediaIdDir + QLatin1Char('/') + folder + QLatin1Char('/') + entry);
}

bool ProductDownloader::classifyFile(Download *download)
{
    const QString file = download->file;
    const qint64 size = qint64(download->record.value(QStringLiteral("size")).toDouble());
    const qint64 inlineLength = download->data.size();
    const QString path = download->localFilePath();
    const QFileInfo info(path);

    if (size < 1) {
        QFile local(path);
        if (inlineLength > 0) {
            if (local.size() == 0 && local.open(QIODevice::WriteOnly)) {
                local.write(download->data);
                local.close();
            }
        } else if (local.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            local.close();
        }
        return true;
    }

    const QString folder = info.absolutePath();
    if (!QDir().mkpath(folder)) {
        qWarning() << prefix(file) << OP_TAG << "cannot make dir" << folder;
        emit errorPerm(folder, QStringLiteral("Cannot Create Direcotry."));
        return false;
    }

    if (!info.exists()) {
        queueDownload(file);
        return true;
    }

    const qint64 existing = info.size();
    const qint64 target = size + inlineLength;
    if (existing == target || existing == size) {
        qDebug() << prefix(file) << OP_TAG << "[checking sha1]" << file;
        emit statusUpdate(sku, QStringLiteral("Checking Download Integrity."));
        sha1Checks.insert(file, download);
        checkSha1(file);
    } else if (existing > size) {
        qDebug() << prefix(file) << "fileSize:" << size;
        qDebug() << prefix(file) << "existingSize:" << existing;
        qDebug() << prefix(file) << "targetSize:" << target;
        qDebug() << prefix(file) << "left:" << target - existing;
        download->rewrite = true;
        emit redownload(file);
    } else if (download->rewrite) {
        // The service changed this file since the card got its part: the
        // part belongs to the old file, so it is fetched whole and not
        // counted as done.
        qDebug() << prefix(file) << OP_TAG << "changed on the service, fetching from byte 0";
        queueDownload(file);
    } else {
        qDebug() << prefix(file) << "resuming:" << target - existing << "left";
        doneBytes += download->resume(-1);
        queueDownload(file);
        updateProgress();
    }
    return true;
}

void ProductDownloader::queueDownload(const QString &file)
{
    if (Download *download = downloads.value(file))
        queueDownload(download);
}

void ProductDownloader::queueDownload(Download *download)
{
    if (activeDownloads.size() >= concurrency)
        queuedDownloads.insert(download->file, download);
    else
        activeDownloads.insert(download->file, download);
}

void ProductDownloader::startDwonloads()
{
    emit stageUpdate(sku, QStringLiteral("Downloading Data"));
    emit statusUpdate(sku, QString());
    if (activeDownloads.isEmpty()) {
        checkAllDone();
        return;
    }
    startPending = true;
    writeMikFile(chartBaseName);
    if (busy()) {
        qDebug() << prefix(sku) << OP_TAG << "[startDownloads while busy]";
        return;
    }
    qsizetype n = qMin(concurrency - activeDownloads.size(), queuedDownloads.size());
    while (n-- > 0) {
        const auto first = queuedDownloads.begin();
        activeDownloads.insert(first.key(), first.value());
        queuedDownloads.erase(first);
    }
    const QList<Download *> admitted = activeDownloads.values();
    for (Download *download : admitted)
        startDownload(download);
}

bool ProductDownloader::busy()
{
    bool result = false;
    for (auto it = activeDownloads.cbegin(); it != activeDownloads.cend(); ++it) {
        qDebug() << prefix(it.key()) << it.value()->getStateStr();
        const Download::State state = it.value()->state;
        if (state == Download::DOWNLOADING || state == Download::WRITING || state == Download::PAUSING)
            result = true;
    }
    return result;
}

bool ProductDownloader::running()
{
    // A transfer whose request is out but whose first bytes have not come
    // is not busy yet, but it will report back: a pause pressed between two
    // files must pause, and an error stop must wait for its report too, or
    // one failed round would reach the user as several.
    for (Download *download : std::as_const(activeDownloads)) {
        if (download->reply && download->state == Download::READY)
            return true;
    }
    return busy();
}

void ProductDownloader::startDownload(Download *download)
{
    if (download->offset < 0)
        qWarning() << prefix(download->file) << OP_TAG << "negative offset" << download->offset;

    // The card may have been pulled and put back, and a failed write may
    // have left part of a chunk: the file itself says where to go on.
    QDir().mkpath(QFileInfo(download->localFilePath()).absolutePath());
    if (!download->resuming && !download->rewrite && QFileInfo(download->localFilePath()).size() > 0) {
        // A request without a range brings the file from its first byte;
        // whatever lies on the card under that name must not stay in front.
        download->rewrite = true;
    } else if (download->resuming && !download->rewrite) {
        const qint64 counted = download->offset;
        const qint64 onCard = QFileInfo(download->localFilePath()).size();
        if (onCard > download->size) {
            download->restart();
        } else if (onCard != counted) {
            download->resume(-1);
            handleBytesDone(onCard - counted);
        }
    }

    const QString url = download->downloadPath();
    qInfo() << prefix(download->file) << "[START]" << url;
    QString range;
    if (download->resuming)
        range = QStringLiteral("bytes=%1-%2").arg(download->offset).arg(download->size - 1);
    if (download->reply) {
        qDebug() << prefix(download->file) << OP_TAG << "[RESPONSE NOT EMPTY]";
        download->reset();
    }
    download->reply = client.downloadRequest(url, download->file, range);
    download->connectResponse();
    connectDownload(download);
}

void ProductDownloader::connectDownload(Download *download)
{
    if (download->connected)
        return;
    download->connected = true;
    connect(download, &Download::downloadFinished, this, &ProductDownloader::handleFileFinished);
    connect(download, &Download::bytesWritten, this, &ProductDownloader::handleBytesDone);
    connect(download, &Download::cancelled, this, &ProductDownloader::handleDownloadCancelled);
    connect(download, &Download::error, this, &ProductDownloader::handleDownloadError);
    connect(download, &Download::started, this, &ProductDownloader::handleDownloadStarted);
}

void ProductDownloader::handleDownloadStarted(const QString &file)
{
    if (startPending) {
        qDebug() << prefix(file) << "STARTED";
        startPending = false;
        lastTick = speedTimer.elapsed();
    }
    ui->pauseButton->pauseReady();
    ui->cancelButton->setEnabled(true);
}

void ProductDownloader::handleBytesDone(qint64 bytes)
{
    windowBytes += bytes;
    const qint64 now = speedTimer.elapsed();
    const qint64 dt = now - lastTick;
    if (dt > 2000 && windowBytes > 0xA00000) {
        const qint64 seconds = qint64(dt / 1000.0);
        const qint64 rate = windowBytes / seconds;
        const qint64 secondsLeft = rate > 0 ? (totalBytes - doneBytes) / rate : 0;
        const qint64 megabits = qint64(rate / 1024.0 / 1024.0 * 8);
        emit statusUpdate(sku, QStringLiteral("@ ") + QString::number(megabits) + QStringLiteral(" Mbps - ")
                                   + formatTimeLeft(secondsLeft) + QStringLiteral(" left"));
        windowBytes = 0;
        lastTick = now;
    }
    if (bytes != 0) {
        doneBytes += bytes;
        updateProgress();
    }
}

QString ProductDownloader::formatTimeLeft(qint64 s)
{
    const qint64 hours = s / 3600;
    const qint64 minutes = s / 60;
    QString text;
    if (s >= 3600) {
        text += QString::number(hours) + QStringLiteral(" hour");
        if (s >= 7200)
            text += QLatin1Char('s');
    }
    if (s < 60) {
        text += QStringLiteral(" ") + QString::number(s) + QStringLiteral(" second");
        if (s >= 2)
            text += QLatin1Char('s');
    } else {
        text += QStringLiteral(" ") + QString::number(minutes - hours * 60) + QStringLiteral(" minute");
        if (s >= 120)
            text += QLatin1Char('s');
    }
    return text;
}

void ProductDownloader::updateProgress()
{
    if (totalBytes <= 0)
        return;
    const qint64 percent = doneBytes * 100 / totalBytes;
    ui->progressBar->setValue(int(qBound(qint64(0), percent, qint64(100))));
    ui->progressPercentageLabel->setText(QString::number(percent) + QLatin1Char('%'));
    const QString unit = totalBytes < 0x40000000 ? QStringLiteral("MB") : QStringLiteral("GB");
    ui->sizeInfo->setText(Utilities::kbToReadable(double(doneBytes / 1024), unit, false) + QStringLiteral(" / ")
                          + Utilities::kbToReadable(double(totalBytes / 1024), unit, true));
}

void ProductDownloader::handleFileFinished(const QString &file)
{
    qDebug() << prefix(file) << OP_TAG;
    if (Download *download = activeDownloads.value(file)) {
        qInfo() << prefix(file) << "downloaded";
        download->clearResponse();
        activeDownloads.remove(file);
    }
    if (pausing || cancelling) {
        checkPauseCancel();
        return;
    }
    startIdleAdmitted();
    if (activeDownloads.size() >= concurrency || queuedDownloads.isEmpty()) {
        checkAllDone();
        return;
    }
    const auto first = queuedDownloads.begin();
    Download *next = first.value();
    qInfo() << prefix(first.key()) << "downloading";
    activeDownloads.insert(first.key(), next);
    queuedDownloads.erase(first);
    startDownload(next);
    checkAllDone();
}

void ProductDownloader::startIdleAdmitted()
{
    // A round refused while another transfer was busy leaves admitted
    // transfers that nobody started; a finished file is the moment to start
    // them, or the product would never end.
    const QList<Download *> admitted = activeDownloads.values();
    for (Download *download : admitted) {
        if (download->state == Download::READY && !download->reply)
            startDownload(download);
    }
}

void ProductDownloader::checkSha1(const QString &file)
{
    Download *download = downloads.value(file);
    if (!download)
        return;
    // The pool task gets copies: the table and the transfer may change on
    // this thread while it runs.
    const QString path = download->localFilePath();
    const qint64 size = download->size;
    const QByteArray expected = download->sha1;
    const QString productSku = sku;
    sha1Futures.append(QtConcurrent::run(QThreadPool::globalInstance(), [this, file, path, size, expected,
                                                                         productSku] {
        if (!QFileInfo::exists(path)) {
            emit errorPerm(productSku, QStringLiteral("Cannot Open Chart Folder."));
            return;
        }
        const QByteArray digest = sha1OfFile(path, size, abandonChecks);
        if (abandonChecks)
            return;
        if (digest.isEmpty()) {
            emit errorPerm(productSku, QStringLiteral("Cannot Open Chart Folder."));
        } else if (digest == expected) {
            qInfo() << prefix(file) << "skipped";
            emit sha1Passed(file);
        } else {
            qInfo() << prefix(file) << "Sha1 not matching:" << digest << "vs" << expected << "-> redownload...";
            emit redownload(file);
        }
    }));
    // Forget the checks that have ended, so the list stays as short as the
    // number of files being checked at once.
    sha1Futures.erase(std::remove_if(sha1Futures.begin(), sha1Futures.end(),
                                     [](const QFuture<void> &future) { return future.isFinished(); }),
                      sha1Futures.end());
}

void ProductDownloader::handleSha1Passed(const QString &file)
{
    Download *download = sha1Checks.value(file);
    if (!download) {
        qWarning() << OP_TAG << file << "do not exist in files";
        return;
    }
    handleBytesDone(download->size);
    updateProgress();
    sha1Checks.remove(file);
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
    }
}

void ProductDownloader::handleRedownload(const QString &file)
{
    Download *download = downloads.value(file);
    if (!download)
        return;
    download->rewrite = true;
    sha1Checks.remove(file);
    queueDownload(file);
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
    }
}

bool ProductDownloader::everyFileDone() const
{
    if (!sha1Checks.isEmpty() || !queuedDownloads.isEmpty())
        return false;
    for (Download *download : activeDownloads) {
        if (download->state != Download::DONE)
            return false;
    }
    return true;
}

void ProductDownloader::checkAllDone()
{
    if (finished || doneBytes < totalBytes || !everyFileDone())
        return;
    qInfo() << prefix(sku) << "All done" << QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    if (doneBytes > totalBytes)
        qInfo() << prefix(sku) << "Extra bytes" << doneBytes - totalBytes;
    finished = true;

    // The container is settled before anyone hears of the completion: the
    // window scans the card as soon as it does.
    if (productType == RqSd && container) {
        const quint64 flags = container->flags();
        if (!((flags & Mik::MikFile::FlagFinalized) && (flags & Mik::MikFile::FlagDigest)))
            container->finalize();
        if (!container->setUpdating(false))
            qInfo() << prefix(sku) << OP_TAG << "Updating" << "Failed";
    }
    emit stageUpdate(sku, QString());
    emit allDone(sku);
    if (productType == RqSd && container)
        emit chartUpdateStatusChange(AbstractProduct::UpToDateSameBuild);
}

void ProductDownloader::handleAllDone()
{
    ui->cancelButton->hide();
    ui->pauseButton->hide();
}

void ProductDownloader::writeMikFile(const QString &baseName)
{
    if (productType != RqSd || !container)
        return;
    container->fileInfo.refresh();
    if (!container->fileInfo.exists())
        return;
    auto *rq = qobject_cast<RqSdProduct *>(product);
    const AbstractProduct::ChartUpdateStatus status =
        rq ? rq->getStatus(*container) : AbstractProduct::UpdateAvailable;

    QString path = container->fileInfo.absoluteFilePath();
    if (!baseName.isEmpty() && container->fileInfo.completeBaseName() != baseName) {
        const QString renamed = mediaIdDir + QLatin1Char('/') + baseName + QStringLiteral(".kim");
        if (insideCardRoot(baseName + QStringLiteral(".kim")) && QFile::rename(path, renamed))
            path = renamed;
    }

    const QByteArray cardHeader = container->headerImage();
    QByteArray rest;
    bool write = false;
    if (status == AbstractProduct::UpdateAvailable
        || headerField32(cardHeader, Mik::MikFile::OffsetBuildCode)
               != headerField32(headerBlock, Mik::MikFile::OffsetBuildCode)) {
        rest = drmBytes;
        write = true;
    } else if (status == AbstractProduct::UpToDateSameBuild) {
        QFile current(path);
        if (current.open(QIODevice::ReadOnly)) {
            current.seek(headerSize);
            rest = current.readAll();
            write = true;
        }
    }
    if (write) {
        setHeaderFlag(headerBlock, Mik::MikFile::FlagUpdating);
        // Replaced as a whole: a card pulled during the write keeps its old
        // container, which the next update still recognises.
        QSaveFile out(path);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(headerBlock);
            out.write(rest);
            if (!out.commit())
                qWarning() << prefix(sku) << OP_TAG << "cannot write container" << out.errorString();
        }
    }

    try {
        *container = Mik::MikFile(path);
    } catch (const QString &message) {
        qWarning() << prefix(sku) << OP_TAG << message;
        return;
    }
    container->finalize();
    emit chartUpdateStatusChange(AbstractProduct::UpdateInProgress);
}

void ProductDownloader::updateRQ(Mik::MikFile *newContainer)
{
    container = newContainer;
    qDebug() << prefix(QStringLiteral("Update RQ")) << QStringLiteral("<updateRQ>[105]");
    drmBytes = container->getDrmBytes();
    if (drmBytes.isEmpty())
        emit errorPerm(sku, QStringLiteral("Invalid Chart Data"));
    if (!rqSignalsConnected) {
        rqSignalsConnected = true;
        if (!sha1Connected) {
            sha1Connected = true;
            connect(this, &ProductDownloader::sha1Passed, this, &ProductDownloader::handleSha1Passed);
        }
        connect(this, &ProductDownloader::backupFinished, this, &ProductDownloader::handleBackupFinished);
        connect(this, &ProductDownloader::headerUpdated, this, &ProductDownloader::handleHeaderUpdated);
    }
    emit stageUpdate(sku, QStringLiteral("Initializing..."));
    headerReply = client.post(QStringLiteral("HeaderUpdate/") + container->chartName(), QStringLiteral("smn"),
                              QJsonObject());
    connect(headerReply, &QNetworkReply::finished, this, &ProductDownloader::handleHeaderUpdate);
}

void ProductDownloader::registerRQ(Mik::MikFile *newContainer)
{
    container = newContainer;
    drmBytes = container->getDrmBytes();
    if (drmBytes.isEmpty())
        emit errorPerm(sku, QStringLiteral("Invalid Chart Data"));
    activateProduct();
}

void ProductDownloader::restoreRQ(const QString &restoreSku, const QByteArray &drm)
{
    headerReply = client.post(QStringLiteral("HeaderUpdate/") + restoreSku, QStringLiteral("smn"), QJsonObject(),
                              QStringLiteral("restore"));
    connect(headerReply, &QNetworkReply::finished, this, &ProductDownloader::handleHeaderUpdate);
    connect(headerReply, &QNetworkReply::errorOccurred, this, &ProductDownloader::handleNetworkError);
    drmBytes = drm;
}

void ProductDownloader::handleHeaderUpdate()
{
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        reply = headerReply;
    if (!reply)
        return;
    if (reply == headerReply)
        headerReply = nullptr;
    const QByteArray body = reply->readAll();
    const auto release = [reply] {
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    };
    if (reply->error() != QNetworkReply::NoError) {
        emit errorPerm(sku, replyMessage(reply, body));
        release();
        return;
    }

    // The length comes from the service; trust it only as far as the body
    // and the fixed header image reach.
    const quint64 stated = body.size() >= 16 ? headerField64(body, Mik::MikFile::OffsetHeaderSize) : 0;
    if (body.size() < 16 || stated != quint64(headerSize) || quint64(body.size()) < stated) {
        qWarning() << prefix(sku) << OP_TAG << "header length" << stated << "body" << body.size();
        emit errorPerm(sku, QStringLiteral("The chart header received from the service is damaged "
                                           "(%1 bytes stated, %2 received). Nothing was written to the card.")
                                .arg(stated)
                                .arg(body.size()));
        release();
        return;
    }
    headerBlock = body.left(headerSize);

    if (reply->property("id").toString() == QLatin1String("restore")) {
        const QString fileName = sku + QStringLiteral(".kim");
        if (!cardPresent()) {
            release();
            return;
        }
        if (sku.contains(QLatin1Char('/')) || !insideCardRoot(fileName)) {
            emit errorPerm(sku, QStringLiteral("The chart name \"%1\" cannot be used as a file name on the SD "
                                               "card. Nothing was written.")
                                    .arg(sku.toHtmlEscaped()));
            release();
            return;
        }
        QFile kim(mediaIdDir + QLatin1Char('/') + fileName);
        if (!kim.open(QIODevice::ReadWrite)) {
            emit errorPerm(sku, QStringLiteral("Cannot write the chart container: %1").arg(kim.errorString()));
            release();
            return;
        }
        setHeaderFlag(headerBlock, Mik::MikFile::FlagUpdating);
        kim.write(headerBlock);
        kim.flush();
        kim.write(drmBytes);
        kim.close();
        emit mikRestored();
    } else {
        const bool accepted = container && headerChartName(headerBlock) == container->chartName()
                              && (headerField64(headerBlock, Mik::MikFile::OffsetFlags) & Mik::MikFile::FlagQvBuild)
                              && container->buildNumber() <= headerField32(headerBlock, Mik::MikFile::OffsetBuildNumber)
                              && headerField32(headerBlock, Mik::MikFile::OffsetChartVersion) >= container->chartVersion();
        if (accepted)
            emit headerUpdated(sku);
        else
            emit errorPerm(sku, QStringLiteral("Error updating chart"));
    }
    release();
}

void ProductDownloader::handleHeaderUpdated(const QString &)
{
    emit stageUpdate(sku, QStringLiteral("Backing up"));
    client.post(QStringLiteral("ActivateProduct"), QStringLiteral("smn"), QJsonObject());

    // The container is the one file an update rewrites that the service
    // cannot give back: keep a copy in the data folder before it changes.
    if (container && container->fileInfo.exists()) {
        backupList = {container->fileInfo};
        backupFolder = appDataFolder + QLatin1Char('/') + container->getChartID(QStringLiteral("-")).trimmed();
        QDir().mkpath(backupFolder);
        const QFileInfo first = backupList.first();
        backupFutures.append(QtConcurrent::run(QThreadPool::globalInstance(), [this, first] { backupMik(first); }));
    } else {
        handleBackupFinished(QFileInfo());
    }
}

void ProductDownloader::backupMik(const QFileInfo &fileInfo)
{
    if (!fileInfo.exists()) {
        qWarning() << prefix(fileInfo.absolutePath()) << "does not exist anymore...";
        emit backupFinished(fileInfo);
        return;
    }
    const QString target = backupFolder + QLatin1Char('/') + fileInfo.fileName();
    QFile::remove(target);
    if (QFile::copy(fileInfo.absoluteFilePath(), target))
        qDebug() << prefix(fileInfo.fileName()) << "Backed up:" << target;
    else
        qWarning() << prefix(fileInfo.fileName()) << "backup failed:" << target;
    emit backupFinished(fileInfo);
}

void ProductDownloader::handleBackupFinished(const QFileInfo &fileInfo)
{
    if (backupList.removeOne(fileInfo))
        handleBytesDone(fileInfo.size());
    if (!backupList.isEmpty()) {
        emit stageUpdate(sku, QStringLiteral("Backing up"));
        const QFileInfo next = backupList.first();
        backupFutures.append(QtConcurrent::run(QThreadPool::globalInstance(), [this, next] { backupMik(next); }));
        return;
    }
    totalBytes = 0;
    doneBytes = 0;
    updateProgress();
    if (!container)
        return;
    segmentsReply = client.post(QStringLiteral("GetSegments/") + container->chartName(), QStringLiteral("smn"),
                                QJsonObject());
    connect(segmentsReply, &QNetworkReply::finished, this, &ProductDownloader::handleGetSegments);
}

void ProductDownloader::handleGetSegments()
{
    QNetworkReply *reply = segmentsReply;
    if (!reply)
        return;
    segmentsReply = nullptr;
    const QByteArray body = reply->readAll();
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (reply->error() != QNetworkReply::NoError) {
        emit errorPerm(sku, replyMessage(reply, body));
        reply->deleteLater();
        return;
    }
    const QJsonArray files = object.value(QStringLiteral("files")).toArray();
    endPoint = object.value(QStringLiteral("end_point")).toString();
    cdnEndPoint = object.value(QStringLiteral("cdn_end_point")).toString();
    emit stageUpdate(sku, QStringLiteral("Validating Data"));
    emit statusUpdate(sku, QString());

    if (!cardPresent() || !checkRecordPaths(files)) {
        reply->deleteLater();
        return;
    }

    const QHash<QString, QFileInfo> segments = container ? container->segments : QHash<QString, QFileInfo>();
    const QString chartId = container ? container->getChartID(QStringLiteral("-")) : QString();
    double total = double(totalBytes);
    for (const QJsonValue &value : files) {
        QJsonObject record = value.toObject();
        record.insert(QStringLiteral("dir"), mediaIdDir);
        record.insert(QStringLiteral("end_point"), endPoint);
        record.insert(QStringLiteral("cdn_end_point"), cdnEndPoint);
        total += record.value(QStringLiteral("size")).toDouble();
        const QString file = record.value(QStringLiteral("file")).toString();
        if (Download *old = downloads.value(file))
            old->deleteLater();
        Download *download = new Download(record, nullptr);
        downloads.insert(file, download);

        const QFileInfo recordInfo(file);
        const QString suffix = recordInfo.suffix();
        if (chartBaseName.isEmpty())
            chartBaseName = recordInfo.completeBaseName();

        QString cardPath;
        if (segments.contains(suffix))
            cardPath = segments.value(suffix).absoluteFilePath();
        else if (container && !container->basePath.isEmpty())
            cardPath = container->basePath + QLatin1Char('.') + suffix;
        else if (container)
            cardPath = container->fileInfo.absolutePath() + QLatin1Char('/') + container->fileInfo.completeBaseName()
                       + QLatin1Char('.') + suffix;
        QFileInfo cardFile(cardPath);

        if (!cardPath.isEmpty() && cardFile.exists()) {
            if (cardFile.fileName() != recordInfo.fileName()) {
                const QString renamed = mediaIdDir + QLatin1Char('/') + file;
                QFile::remove(renamed);
                QFile::rename(cardFile.absoluteFilePath(), renamed);
                QFile emptied(renamed);
                if (emptied.open(QIODevice::ReadWrite | QIODevice::Truncate))
                    emptied.close();
                cardFile = QFileInfo(renamed);
            }
            const qint64 size = download->size;
            if (cardFile.size() != size) {
                if (cardFile.size() < size && chartId == expectedChartId) {
                    qDebug() << prefix(file) << "Resume:" << file;
                    doneBytes += download->resume(-1);
                    queueDownload(download);
                } else {
                    qDebug() << prefix(file) << cardFile.size() << "/" << size;
                    qDebug() << prefix(file) << "ReDownload:" << file;
                    download->rewrite = true;
                    queueDownload(download);
                }
            } else {
                sha1Checks.insert(file, download);
                qDebug() << prefix(file) << "Checking sha1";
                checkSha1(file);
            }
        } else {
            qDebug() << prefix(file) << "Download:" << file << "not exists";
            queueDownload(download);
        }
    }
    totalBytes = qint64(total);
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
    }
    updateProgress();
    reply->deleteLater();
}

void ProductDownloader::handleNetworkError(QNetworkReply::NetworkError code)
{
    qInfo() << prefix(sku) << "NetworkError" << int(code) << code;
    emit errorPerm(sku, QStringLiteral("Network Error"));
}

void ProductDownloader::on_pauseButton_pressed()
{
    ui->pauseButton->setIcon(QIcon(ui->pauseButton->isPaused()
                                       ? QStringLiteral(":/resources/images/Downloader_Resume_Icon_Down.png")
                                       : QStringLiteral(":/resources/images/Downloader_Pause_Icon_Down.png")));
}

void ProductDownloader::on_pauseButton_released()
{
    qDebug() << prefix(sku) << OP_TAG << "PAUSE/RESUME";
    if (!sha1Checks.isEmpty())
        return;
    if (pausing) {
        qDebug() << prefix(sku) << "ALREADY PAUSING";
        return;
    }
    if (startPending) {
        qDebug() << prefix(sku) << "ALREADY STARTING";
        return;
    }
    if (running()) {
        qDebug() << prefix(sku) << "PAUSING";
        disableBtns();
        pausing = true;
        const QList<Download *> admitted = activeDownloads.values();
        for (Download *download : admitted)
            download->pause();
        // Transfers stopped before their first byte report nothing; settle
        // now if nothing is left busy.
        checkPauseCancel();
        return;
    }
    qDebug() << prefix(sku) << "RESUMING";
    if (cardMissing && chosenCard.stillPresent())
        cardMissing = false;
    if (!cardMissing && QFileInfo(mediaIdDir).isDir()) {
        startDwonloads();
        disableBtns();
    } else {
        client.messageBox.setText(QStringLiteral("Please insert SD card."));
        client.messageBox.exec();
    }
}

void ProductDownloader::on_cancelButton_released()
{
    const QList<Download *> admitted = activeDownloads.values();
    for (Download *download : admitted)
        download->pause();
    cancelling = true;
    ui->cancelButton->setEnabled(false);
    if (running()) {
        qDebug() << prefix(sku) << OP_TAG << "CANCEL NOT EMIT" << "busy";
    } else {
        qDebug() << prefix(sku) << OP_TAG << "CANCEL EMIT";
        emit cancel();
    }
}

void ProductDownloader::handleDownloadCancelled(const QString &file)
{
    qDebug() << prefix(file) << OP_TAG;
    if (!pausing && !cancelling) {
        qDebug() << prefix(file) << "NOT PAUSING/CANCELLING";
        return;
    }
    checkPauseCancel();
}

void ProductDownloader::handleDownloadError(const QString &file, const QString &message)
{
    qDebug() << prefix(file) << OP_TAG << message;
    downloadErrors.insert(file, diskErrorText(message));
    pausing = true;
    checkPauseCancel();
}

QString ProductDownloader::diskErrorText(const QString &message) const
{
    // The transfer knows only the system's words for a failed write; say
    // what the user can do about it.
    if (!QFileInfo(mediaIdDir).isDir())
        return QStringLiteral("The SD card was removed (%1). Insert it and press Resume.").arg(message);
    const QStorageInfo storage(mediaIdDir);
    // A write that stores fewer bytes than asked has run out of room: the
    // card is full, or the file outgrew what the card's file system allows.
    if (message.contains(QLatin1String("No space left"), Qt::CaseInsensitive)
        || message.contains(QLatin1String("too large"), Qt::CaseInsensitive)
        || message == QLatin1String("Cannot write file.")
        || (storage.isValid() && storage.bytesAvailable() == 0))
        return QStringLiteral("The SD card is full (%1). Make room on it and press Resume.").arg(message);
    if (message.contains(QLatin1String("Read-only"), Qt::CaseInsensitive)
        || message.contains(QLatin1String("Permission denied"), Qt::CaseInsensitive)
        || (storage.isValid() && storage.isReadOnly()))
        return QStringLiteral("The SD card cannot be written (%1). Unlock it and press Resume.").arg(message);
    return message;
}

void ProductDownloader::checkPauseCancel()
{
    qDebug() << prefix(sku) << OP_TAG;
    if (running())
        return;
    ui->pauseButton->resumeReady();
    pausing = false;
    startPending = false;
    qDebug() << prefix(sku) << "PAUSED" << QDateTime::currentDateTime().toString(Qt::ISODateWithMs) << OP_TAG;
    if (!cancelling) {
        emit statusUpdate(sku, cardMissing ? QStringLiteral("Please insert SD card.") : QString());
        ui->cancelButton->setEnabled(true);
        checkErrors();
    } else {
        emit cancel();
    }
}

void ProductDownloader::checkErrors()
{
    if (running() || pausing || downloadErrors.isEmpty())
        return;
    QString text;
    for (auto it = downloadErrors.cbegin(); it != downloadErrors.cend(); ++it) {
        qDebug() << prefix(it.key()) << OP_TAG << it.value();
        // Shown as rich text: names come from the service and must not
        // turn into markup or links.
        text += QStringLiteral("<p>") + it.key().toHtmlEscaped() + QStringLiteral(": ") + it.value().toHtmlEscaped()
                + QStringLiteral("</p>\r\n");
    }
    downloadErrors.clear();
    emit errorTmp(sku, text);
}

void ProductDownloader::disableBtns()
{
    qDebug() << prefix(sku) << OP_TAG;
    ui->pauseButton->setEnabled(false);
    ui->cancelButton->setEnabled(false);
}

void ProductDownloader::pauseForMissingCard()
{
    qDebug() << prefix(sku) << OP_TAG << "CARD MISSING";
    cardMissing = true;
    if (running() && !pausing && !cancelling) {
        disableBtns();
        pausing = true;
        const QList<Download *> admitted = activeDownloads.values();
        for (Download *download : admitted)
            download->pause();
        checkPauseCancel();
    }
    emit statusUpdate(sku, QStringLiteral("Please insert SD card."));
}
