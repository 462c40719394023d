#include "download/productdownloader.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include "app/appglobals.h"
#include "app/settings.h"
#include "app/utilities.h"
#include "catalogue/rqsdproduct.h"
#include "download/activationplan.h"
#include "download/cardlimits.h"
#include "download/download.h"
#include "download/filecheck.h"
#include "download/productcard.h"
#include "download/rqupdate.h"
#include "download/servicereply.h"
#include "media/cardwriter.h"
#include "media/mikfile.h"
#include "ui_productdownloader.h"

namespace {

QString prefix(const QString &context)
{
    return QStringLiteral("[%1][%2]").arg(QDateTime::currentDateTime().toString(Qt::TextDate), context);
}

#define OP_TAG QStringLiteral("<%1>[%2]").arg(QLatin1String(__func__)).arg(__LINE__)

constexpr int headerSize = Mik::MikFile::headerImageSize;

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
    queue.setConcurrency(concurrency);
    const QString readBackSetting =
        settings.valueOrInit(SettingsKeys::readBackAfterWriting, QStringLiteral("1")).trimmed().toLower();
    readBackOn = readBackSetting != QLatin1String("0") && readBackSetting != QLatin1String("false")
                 && readBackSetting != QLatin1String("off");

    speedTimer.start();
}

ProductDownloader::~ProductDownloader()
{
    // Running checks read this object's transfers: make them stop at their
    // next piece and wait, so none outlives what it reads.
    readback.reset();
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
    // The card as it is now is the card this download writes to, whatever
    // is put in at the same place later.
    const CardIdentity identity = CardIdentity::fromRoot(dir);
    if (!identity.isValid())
        qWarning() << prefix(sku) << "card not usable:" << identity.problem();
    writer = std::make_shared<const CardWriter>(identity);
    deviceId = identity.mediaText();
}

bool ProductDownloader::failPermanently(const QString &message)
{
    emit errorPerm(sku, message);
    return false;
}

bool ProductDownloader::cardReady()
{
    if (!writer)
        return failPermanently(QStringLiteral("Please insert SD card."));
    // A folder whose media file was never usable is not a card that went.
    if (!writer->identity().isValid() && QFileInfo(mediaIdDir).isDir())
        return failPermanently(QStringLiteral("The card's ENCRYPT.TXT cannot be used (%1). Nothing on the card was "
                                              "changed.")
                                   .arg(writer->identity().problem().toHtmlEscaped()));
    const CardResult result = writer->verifyCard();
    return result.ok() || failPermanently(result.message());
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
    ServiceReply::limit(activationReply);
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
    activationReply = nullptr;
    reply->deleteLater();
    QByteArray body;
    QString message;
    if (ServiceReply::read(reply, &body, &message) != ServiceReply::Outcome::Ok) {
        emit errorPerm(sku, message);
        return;
    }
    // An RQ card's registration needs nothing from the reply.
    if (productType == RqSd)
        return;
    if (!list.parse(body, FileList::Kind::Product, &message)) {
        qWarning() << prefix(sku) << OP_TAG << "file list refused:" << message;
        emit errorPerm(sku, message);
        return;
    }
    endPoint = list.endPoint;
    cdnEndPoint = list.cdnEndPoint;
    subscriptionId = list.reply.value(QStringLiteral("subscription_id")).toInt();
    if (!cardReady() || !fitsCard() || !prepareProduct())
        return;
    updateProgress();
    emit productActivated(subscriptionId, list.reply.value(QStringLiteral("expiration")).toInt(), deviceId);
}

Download *ProductDownloader::makeDownload(int index)
{
    const FileRecord &record = list.records.at(index);
    QJsonObject json = record.json;
    json.insert(QStringLiteral("dir"), mediaIdDir);
    json.insert(QStringLiteral("end_point"), endPoint);
    json.insert(QStringLiteral("cdn_end_point"), cdnEndPoint);
    if (Download *old = downloads.value(record.file))
        old->deleteLater();
    auto *download = new Download(json, nullptr);
    download->setCardWriter(writer);
    downloads.insert(record.file, download);
    recordIndex.insert(record.file, index);
    return download;
}

bool ProductDownloader::prepareProduct()
{
    totalBytes = list.totalBytes;
    ProductCard::Preparation preparation;
    const CardResult result = ProductCard::prepare(*writer, sku, list, &preparation);
    if (!result.ok())
        return failPermanently(result.message());
    if (preparation.vmidWritten)
        emit vmidUpdated(sku);
    updateProgress();
    applyPlan(preparation.steps);
    return true;
}

void ProductDownloader::applyPlan(const QList<ActivationPlan::Step> &steps)
{
    for (int i = 0; i < steps.size(); ++i) {
        const FileRecord &record = list.records.at(i);
        const ActivationPlan::Step &step = steps.at(i);
        Download *download = makeDownload(i);
        if (!step.target.isEmpty())
            download->target = step.target;
        if (!step.checkPath.isEmpty())
            checkPaths.insert(record.file, step.checkPath);
        switch (step.action) {
        case ActivationPlan::Action::Check:
        case ActivationPlan::Action::Inline:
            qDebug() << prefix(record.file) << OP_TAG << "[checking sha1]" << record.file;
            sha1Checks.insert(record.file, download);
            break;
        case ActivationPlan::Action::Resume:
            qDebug() << prefix(record.file) << "resuming:" << record.size - step.offset << "left";
            doneBytes += download->resume(step.offset);
            queueDownload(download);
            break;
        case ActivationPlan::Action::Fetch:
            qDebug() << prefix(record.file) << "Download:" << record.file;
            download->rewrite = step.replace;
            queueDownload(download);
            break;
        case ActivationPlan::Action::None:
            break;
        }
    }
    startChecks();
}

void ProductDownloader::startChecks()
{
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
        return;
    }
    emit statusUpdate(sku, QStringLiteral("Checking Download Integrity."));
    const QStringList files = sha1Checks.keys();
    for (const QString &file : files)
        checkSha1(file);
}

void ProductDownloader::queueDownload(const QString &file)
{
    if (Download *download = downloads.value(file))
        queueDownload(download);
}

void ProductDownloader::queueDownload(Download *download)
{
    queue.enqueue(download);
}

void ProductDownloader::startDwonloads()
{
    emit stageUpdate(sku, QStringLiteral("Downloading Data"));
    emit statusUpdate(sku, QString());
    if (queue.admitted().isEmpty() && queue.waitingLine().isEmpty()) {
        checkAllDone();
        return;
    }
    startPending = true;
    writeMikFile(chartBaseName);
    if (busy()) {
        qDebug() << prefix(sku) << OP_TAG << "[startDownloads while busy]";
        return;
    }
    queue.admitWaiting();
    const QList<Download *> admitted = queue.admitted();
    for (Download *download : admitted)
        startDownload(download);
}

bool ProductDownloader::busy()
{
    bool result = false;
    for (Download *download : queue.admitted()) {
        qDebug() << prefix(download->file) << download->getStateStr();
        const Download::State state = download->state;
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
    for (Download *download : queue.admitted()) {
        if (download->reply && download->state == Download::READY)
            return true;
    }
    return busy();
}

void ProductDownloader::startDownload(Download *download)
{
    if (download->offset < 0)
        qWarning() << prefix(download->file) << OP_TAG << "negative offset" << download->offset;
    connectDownload(download);

    // Every byte is there but the file's end (sync, digest, trailer) failed
    // last time: that end runs again, without the network.
    if (download->size > 0 && download->offset >= download->size && !download->rewrite) {
        download->finishOnCard();
        return;
    }
    // The card may have been pulled and put back, and a failed write may
    // have left part of a chunk: the file itself says where to go on.
    if (download->resuming && !download->rewrite) {
        QHash<QString, CardWriter::Facts> facts;
        writer->survey({download->target}, &facts);
        const qint64 onCard = facts.value(download->target).size;
        const qint64 counted = download->offset;
        if (onCard > download->size) {
            download->restart();
        } else if (onCard != counted) {
            download->resume(onCard);
            handleBytesDone(download->offset - counted);
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
    connect(download, &Download::retryFromStart, this, &ProductDownloader::handleRetryFromStart);
}

void ProductDownloader::handleRetryFromStart(const QString &file)
{
    Download *download = downloads.value(file);
    if (!download)
        return;
    qInfo() << prefix(file) << OP_TAG << "damaged on the way, fetching again from byte 0";
    if (pausing || cancelling) {
        checkPauseCancel();
        return;
    }
    startDownload(download);
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
    if (Download *download = queue.active.value(file)) {
        qInfo() << prefix(file) << "downloaded";
        download->clearResponse();
        queue.release(download);
    }
    if (pausing || cancelling) {
        checkPauseCancel();
        return;
    }
    startIdleAdmitted();
    if (!queue.hasFreeSlot() || queue.waitingLine().isEmpty()) {
        checkAllDone();
        return;
    }
    Download *next = queue.admitNext();
    qInfo() << prefix(next->file) << "downloading";
    startDownload(next);
    checkAllDone();
}

void ProductDownloader::startIdleAdmitted()
{
    // A round refused while another transfer was busy leaves admitted
    // transfers that nobody started; a finished file is the moment to start
    // them, or the product would never end.
    const QList<Download *> admitted = queue.admitted();
    for (Download *download : admitted) {
        if (download->state == Download::READY && !download->reply)
            startDownload(download);
    }
}

void ProductDownloader::checkSha1(const QString &file)
{
    Download *download = downloads.value(file);
    if (!download || !recordIndex.contains(file))
        return;
    // The pool task gets copies: the tables and the transfer may change on
    // this thread while it runs.
    const FileRecord record = list.records.at(recordIndex.value(file));
    const QString path = checkPaths.value(file, download->target);
    const std::shared_ptr<const CardWriter> card = writer;
    const QString productSku = sku;
    sha1Futures.append(QtConcurrent::run(QThreadPool::globalInstance(), [this, file, path, record, card,
                                                                         productSku] {
        const FileCheck::Result result = record.size == 0 ? FileCheck::writeInline(*card, record)
                                                          : FileCheck::run(*card, path, record, &abandonChecks);
        if (abandonChecks)
            return;
        switch (result.outcome) {
        case FileCheck::Outcome::Passed:
            qInfo() << prefix(file) << "skipped";
            emit sha1Passed(file);
            break;
        case FileCheck::Outcome::Mismatch:
            qInfo() << prefix(file) << "Sha1 not matching:" << record.sha1 << "-> redownload...";
            emit redownload(file);
            break;
        case FileCheck::Outcome::CardProblem:
            qWarning() << prefix(file) << "check failed:" << result.card.detail();
            emit errorPerm(productSku, result.card.problem() == CardResult::Failed
                                           ? QStringLiteral("Cannot Open Chart Folder.")
                                           : result.card.message());
            break;
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
    proven.insert(file);
    if (rqUpdate && checkPaths.value(file) == file)
        rqUpdate->keepInPlace(file);
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
    if (!sha1Checks.isEmpty() || !queue.waitingLine().isEmpty())
        return false;
    for (Download *download : queue.admitted()) {
        if (download->state != Download::DONE)
            return false;
    }
    return true;
}

bool ProductDownloader::requeueVanished()
{
    // Where each file of the product lies now, and how long it must be.
    QStringList paths;
    for (const FileRecord &record : std::as_const(list.records)) {
        const Download *download = downloads.value(record.file);
        const bool inPlace = proven.contains(record.file) && checkPaths.value(record.file) == record.file;
        paths.append(inPlace || !download ? record.file : download->target);
    }
    QHash<QString, CardWriter::Facts> facts;
    const CardResult surveyed = writer->survey(paths, &facts);
    if (!surveyed.ok()) {
        downloadErrors.insert(sku, surveyed.message());
        startPending = false;
        ui->pauseButton->resumeReady();
        ui->cancelButton->setEnabled(true);
        checkErrors();
        return true;
    }
    bool requeued = false;
    for (int i = 0; i < list.records.size(); ++i) {
        const FileRecord &record = list.records.at(i);
        const CardWriter::Facts found = facts.value(paths.at(i));
        Download *download = downloads.value(record.file);
        if ((record.size == 0 && rqUpdate) || (found.regular && found.size == record.size + record.data.size()))
            continue;
        qWarning() << prefix(record.file) << OP_TAG << "gone from the card during the run; fetched again";
        requeued = true;
        if (record.size == 0) {
            sha1Checks.insert(record.file, download);
            checkSha1(record.file);
            continue;
        }
        if (proven.remove(record.file)) {
            handleBytesDone(-record.size);
            checkPaths.remove(record.file);
            if (rqUpdate)
                rqUpdate->dropInPlace(record.file);
        } else {
            download->restart();
        }
        download->rewrite = true;
        download->state = Download::READY;
        queueDownload(download);
    }
    if (requeued && sha1Checks.isEmpty())
        startDwonloads();
    return requeued;
}

void ProductDownloader::checkAllDone()
{
    if (finished || (readback && readback->isRunning()) || doneBytes < totalBytes || !everyFileDone())
        return;
    // Counted is not proven: a file deleted, or a folder moved away, during
    // the run is on the card no more.
    if (requeueVanished())
        return;
    // The container is settled before anyone hears of the completion: the
    // window scans the card as soon as it does.
    if (productType == RqSd && rqUpdate && !commitRqUpdate())
        return;
    if (readBackOn)
        startReadback();
    else
        finish();
}

void ProductDownloader::finish()
{
    qInfo() << prefix(sku) << "All done" << QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    if (doneBytes > totalBytes)
        qInfo() << prefix(sku) << "Extra bytes" << doneBytes - totalBytes;
    finished = true;
    emit stageUpdate(sku, QString());
    emit allDone(sku);
    if (productType == RqSd && rqUpdate)
        emit chartUpdateStatusChange(AbstractProduct::UpToDateSameBuild);
}

bool ProductDownloader::fitsCard()
{
    CardFilesystem::Kind kind = CardFilesystem::Kind::Unknown;
    const CardResult result = writer->filesystem(&kind);
    if (!result.ok())
        return failPermanently(result.message());
    const QString problem = CardLimits::problem(list.records, kind);
    if (problem.isEmpty())
        return true;
    qWarning() << prefix(sku) << OP_TAG << "file list does not fit a" << CardFilesystem::name(kind) << "card:" << problem;
    return failPermanently(problem);
}

void ProductDownloader::startReadback()
{
    if (!readback) {
        readback = std::make_unique<ReadbackVerifier>();
        connect(readback.get(), &ReadbackVerifier::progress, this, [this](qint64 done, qint64 total) {
            const qint64 percent = total > 0 ? done * 100 / total : 100;
            ui->progressBar->setValue(int(percent));
            ui->progressPercentageLabel->setText(QString::number(percent) + QLatin1Char('%'));
        });
        connect(readback.get(), &ReadbackVerifier::finished, this, &ProductDownloader::handleReadbackFinished);
    }
    // Nothing left to pause; Cancel stops the reading.
    ui->pauseButton->setEnabled(false);
    ui->cancelButton->setEnabled(true);
    emit stageUpdate(sku, QStringLiteral("Verifying Card"));
    emit statusUpdate(sku, QString());
    readback->start(writer, rqUpdate ? rqUpdate->writtenFiles() : ReadbackVerifier::productItems(list.records, proven));
}

void ProductDownloader::handleReadbackFinished()
{
    const QList<CardResult> failures = readback->failures();
    if (failures.isEmpty()) {
        finish();
        return;
    }
    // An RQ card then shows the update as unfinished. Resume finds the
    // segments of this run gone from their temporary names and fetches
    // them again: costly, but only after a card failed.
    bool removable = true;
    if (rqUpdate) {
        const CardResult marked = rqUpdate->markUnfinished();
        removable = marked.ok();
        if (!marked.ok())
            downloadErrors.insert(marked.path(), marked.message());
    }
    for (const CardResult &failure : failures) {
        qWarning() << prefix(sku) << OP_TAG << "read back:" << failure.detail();
        // A file the card did not keep goes, so that Resume, or the next
        // run, fetches it again (a file of the right length would be taken
        // as complete); the container stays, marked unfinished.
        if (failure.problem() == CardResult::NotKept && removable
            && !(rqUpdate && failure.path() == rqUpdate->newContainerName()))
            writer->remove(failure.path());
        downloadErrors.insert(failure.path().isEmpty() ? sku : failure.path(), failure.message());
    }
    updateProgress();
    startPending = false;
    ui->pauseButton->resumeReady();
    ui->cancelButton->setEnabled(true);
    checkErrors();
}

bool ProductDownloader::commitRqUpdate()
{
    const CardResult result = rqUpdate->commit();
    if (!result.ok()) {
        // Reported like a failed file: the card is as the commit left it,
        // and Resume runs the commit again.
        qWarning() << prefix(sku) << OP_TAG << "update not committed:" << result.detail();
        downloadErrors.insert(result.path(), result.message());
        startPending = false;
        ui->pauseButton->resumeReady();
        ui->cancelButton->setEnabled(true);
        checkErrors();
        return false;
    }
    if (container) {
        try {
            *container = Mik::MikFile(mediaIdDir + QLatin1Char('/') + rqUpdate->newContainerName());
        } catch (const QString &message) {
            qWarning() << prefix(sku) << OP_TAG << message;
        }
    }
    return true;
}

void ProductDownloader::handleAllDone()
{
    ui->cancelButton->hide();
    ui->pauseButton->hide();
}

void ProductDownloader::writeMikFile(const QString &)
{
    // The container itself is written only once every segment is proven
    // (RqUpdate::commit); what starts here is the update, and the window
    // shows it as in progress.
    if (productType == RqSd && rqUpdate)
        emit chartUpdateStatusChange(AbstractProduct::UpdateInProgress);
}

void ProductDownloader::updateRQ(Mik::MikFile *newContainer)
{
    container = newContainer;
    qDebug() << prefix(QStringLiteral("Update RQ")) << QStringLiteral("<updateRQ>[105]");
    // Read before anything on the card changes: the chain may reach into
    // segment files that the update replaces.
    bool whole = false;
    drmBytes = container->getDrmBytes(&whole);
    if (drmBytes.isEmpty() || !whole) {
        // Going on would give the card a container without its chart, or
        // with a part of it (a chain that runs into a missing segment).
        emit errorPerm(sku, QStringLiteral("Invalid Chart Data"));
        return;
    }
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
    ServiceReply::limit(headerReply);
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
    ServiceReply::limit(headerReply);
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
    const auto release = [reply] {
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    };
    QByteArray body;
    QString message;
    if (ServiceReply::read(reply, &body, &message) != ServiceReply::Outcome::Ok) {
        emit errorPerm(sku, message);
        release();
        return;
    }

    const QString damaged = RqUpdate::headerProblem(body);
    if (!damaged.isEmpty()) {
        qWarning() << prefix(sku) << OP_TAG << "header refused:" << body.size() << "bytes";
        emit errorPerm(sku, damaged);
        release();
        return;
    }
    headerBlock = body.left(headerSize);

    if (reply->property("id").toString() == QLatin1String("restore")) {
        if (cardReady()) {
            const CardResult written = RqUpdate::restore(*writer, sku, headerBlock, drmBytes);
            if (written.ok())
                emit mikRestored();
            else
                emit errorPerm(sku, written.message());
        }
    } else if (container && RqUpdate::acceptsHeader(headerBlock, *container)) {
        emit headerUpdated(sku);
    } else {
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
    const QString target = backupFolder + QLatin1Char('/') + fileInfo.fileName();
    if (writer && RqUpdate::backUp(*writer, fileInfo.fileName(), target))
        qDebug() << prefix(fileInfo.fileName()) << "Backed up:" << target;
    else
        qWarning() << prefix(fileInfo.absolutePath()) << "not backed up:" << target;
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
    ServiceReply::limit(segmentsReply);
    connect(segmentsReply, &QNetworkReply::finished, this, &ProductDownloader::handleGetSegments);
}

void ProductDownloader::handleGetSegments()
{
    QNetworkReply *reply = segmentsReply;
    if (!reply)
        return;
    segmentsReply = nullptr;
    reply->deleteLater();
    QByteArray body;
    QString message;
    if (ServiceReply::read(reply, &body, &message) != ServiceReply::Outcome::Ok) {
        emit errorPerm(sku, message);
        return;
    }
    if (!list.parse(body, FileList::Kind::Segments, &message)) {
        qWarning() << prefix(sku) << OP_TAG << "segment list refused:" << message;
        emit errorPerm(sku, message);
        return;
    }
    endPoint = list.endPoint;
    cdnEndPoint = list.cdnEndPoint;
    emit stageUpdate(sku, QStringLiteral("Validating Data"));
    emit statusUpdate(sku, QString());
    if (!cardReady() || !fitsCard())
        return;
    prepareSegments();
}

bool ProductDownloader::prepareSegments()
{
    QStringList oldSegments;
    for (const QFileInfo &segment : std::as_const(container->segments))
        oldSegments.append(segment.fileName());
    const QString containerName = container->fileInfo.exists() ? container->fileInfo.fileName() : QString();
    rqUpdate = std::make_unique<RqUpdate>(writer, containerName, oldSegments, headerBlock, drmBytes,
                                          expectedChartId);
    rqUpdate->setSegments(list);
    chartBaseName = list.baseName;
    totalBytes = list.totalBytes;
    QHash<QString, CardWriter::Facts> facts;
    const CardResult surveyed = writer->survey(rqUpdate->surveyPaths(), &facts);
    if (!surveyed.ok())
        return failPermanently(surveyed.message());
    applyPlan(rqUpdate->plan(facts));
    updateProgress();
    return true;
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
        const QList<Download *> admitted = queue.admitted();
        for (Download *download : admitted)
            download->pause();
        // Transfers stopped before their first byte report nothing; settle
        // now if nothing is left busy.
        checkPauseCancel();
        return;
    }
    qDebug() << prefix(sku) << "RESUMING";
    // Only the card this download began on: another card put in at the
    // same place is refused like a missing one.
    if (writer && writer->verifyCard().ok()) {
        missingCard = false;
        startDwonloads();
        disableBtns();
    } else {
        client.messageBox.setText(QStringLiteral("Please insert SD card."));
        client.messageBox.exec();
    }
}

void ProductDownloader::on_cancelButton_released()
{
    const QList<Download *> admitted = queue.admitted();
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
    downloadErrors.insert(file, message);
    pausing = true;
    checkPauseCancel();
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
        emit statusUpdate(sku, missingCard ? QStringLiteral("Please insert SD card.") : QString());
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
    qDebug() << prefix(sku) << OP_TAG;
    missingCard = true;
    if (pausing || cancelling)
        return; // the settling under way reports the card
    if (!running()) {
        emit statusUpdate(sku, QStringLiteral("Please insert SD card."));
        return;
    }
    disableBtns();
    pausing = true;
    const QList<Download *> admitted = queue.admitted();
    for (Download *download : admitted)
        download->pause();
    checkPauseCancel();
}
