#include "window/productdownloader.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include "base/appglobals.h"
#include "base/settings.h"
#include "base/utilities.h"
#include "widgets/rqsdproduct.h"
#include "download/cardlimits.h"
#include "download/checkrunner.h"
#include "download/rqupdate.h"
#include "service/servicereply.h"
#include "download/transferrunner.h"
#include "card/cardwriter.h"
#include "card/mikfile.h"
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
    , transfers(new TransferRunner(this))
    , checks(new CheckRunner(this))
{
    ui->setupUi(this);
    if (product)
        setProduct(product);
    ui->cancelButton->setEnabled(false);
    ui->pauseButton->setEnabled(false);

    connect(this, &ProductDownloader::redownload, this, &ProductDownloader::handleRedownload);
    connect(this, &ProductDownloader::allDone, this, &ProductDownloader::handleAllDone);
    connect(&preparing, &QFutureWatcher<Preparation::Result>::finished, this, &ProductDownloader::handlePrepared);
    connect(&completing, &QFutureWatcher<Completion::Result>::finished, this, &ProductDownloader::handleCompletion);

    connect(transfers, &TransferRunner::bytesDone, this, &ProductDownloader::handleBytesDone);
    connect(transfers, &TransferRunner::started, this, &ProductDownloader::handleDownloadStarted);
    connect(transfers, &TransferRunner::finished, this, &ProductDownloader::handleFileFinished);
    connect(transfers, &TransferRunner::cancelled, this, &ProductDownloader::handleDownloadCancelled);
    connect(transfers, &TransferRunner::failed, this, &ProductDownloader::handleDownloadError);
    connect(transfers, &TransferRunner::idle, this, [this] {
        if (pausing || cancelling)
            checkPauseCancel();
    });

    connect(checks, &CheckRunner::passed, this, &ProductDownloader::sha1Passed);
    connect(checks, &CheckRunner::mismatched, this, &ProductDownloader::redownload);
    connect(checks, &CheckRunner::failed, this, [this](const QString &, const QString &message) {
        emit errorPerm(sku, message);
    });

    Settings settings(configFilePath);
    bool ok = false;
    const int stored = settings.valueOrInit(SettingsKeys::downloadConcurrency, QStringLiteral("3")).toInt(&ok);
    // The setting is the user's ceiling; the core count no longer caps it,
    // since the transfers' cost is on their own thread and small files gain
    // from more connections (TransferRunner decides per file size).
    concurrency = (!ok || stored < 1) ? QThread::idealThreadCount()
                                      : qMin(stored, TransferRunner::maxConnections);
    const QString readBackSetting =
        settings.valueOrInit(SettingsKeys::readBackAfterWriting, QStringLiteral("1")).trimmed().toLower();
    readBackOn = readBackSetting != QLatin1String("0") && readBackSetting != QLatin1String("false")
                 && readBackSetting != QLatin1String("off");

    speedTimer.start();
}

ProductDownloader::~ProductDownloader()
{
    // Work on the pool writes to the card: it ends before this object does,
    // and so do the transfers (TransferRunner's destructor, as a child).
    readback.reset();
    preparing.waitForFinished();
    completing.waitForFinished();
    for (QFuture<void> &future : backupFutures)
        future.waitForFinished();
    delete transfers;
    delete checks;
    delete ui;
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
    checks->setCardWriter(writer);
    deviceId = identity.mediaText();
}

int ProductDownloader::transfersAtOnce() const
{
    return transfers->peakInFlight();
}

const FileRecord *ProductDownloader::recordOf(const QString &file) const
{
    const auto it = recordIndex.constFind(file);
    return it == recordIndex.cend() ? nullptr : &list.records.at(it.value());
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
    prepare([card = writer, root = mediaIdDir, productSku = sku, body] {
        return Preparation::forProduct(card, root, productSku, body);
    });
}

void ProductDownloader::prepare(std::function<Preparation::Result()> work)
{
    // A second list while one is being prepared would race it for the card.
    if (preparing.isRunning()) {
        qWarning() << prefix(sku) << OP_TAG << "a file list is already being prepared";
        return;
    }
    preparing.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), std::move(work)));
}

void ProductDownloader::handlePrepared()
{
    const Preparation::Result result = preparing.result();
    if (!result.error.isEmpty()) {
        emit errorPerm(sku, result.error);
        return;
    }
    list = result.list;
    endPoint = list.endPoint;
    cdnEndPoint = list.cdnEndPoint;
    totalBytes = list.totalBytes;
    recordIndex = result.recordIndex;
    targets = result.targets;
    checkPaths = result.checkPaths;
    if (result.rqUpdate) {
        rqUpdate = result.rqUpdate;
        chartBaseName = list.baseName;
    } else {
        subscriptionId = list.reply.value(QStringLiteral("subscription_id")).toInt();
        if (result.vmidWritten)
            emit vmidUpdated(sku);
    }
    doneBytes += result.resumedBytes;
    for (const TransferOrder &order : result.orders)
        pendingTransfers.insert(order.record.file);
    transfers->configure(writer, mediaIdDir, endPoint, cdnEndPoint, concurrency);
    transfers->enqueue(result.orders);
    for (const QString &file : result.checks)
        sha1Checks.insert(file);
    updateProgress();
    startChecks();
    if (!result.rqUpdate)
        emit productActivated(subscriptionId, list.reply.value(QStringLiteral("expiration")).toInt(), deviceId);
}

void ProductDownloader::startChecks()
{
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
        return;
    }
    emit statusUpdate(sku, QStringLiteral("Checking Download Integrity."));
    // In list order: the user sees the product fill from its first file.
    for (const FileRecord &record : std::as_const(list.records)) {
        if (sha1Checks.contains(record.file))
            checkSha1(record.file);
    }
}

void ProductDownloader::queueDownload(const QString &file)
{
    const FileRecord *record = recordOf(file);
    if (!record)
        return;
    pendingTransfers.insert(file);
    transfers->enqueue({{*record, targets.value(file, file), 0, true, false}});
}

void ProductDownloader::startDwonloads()
{
    emit stageUpdate(sku, QStringLiteral("Downloading Data"));
    emit statusUpdate(sku, QString());
    if (pendingTransfers.isEmpty()) {
        checkAllDone();
        return;
    }
    startPending = true;
    writeMikFile(chartBaseName);
    if (busy()) {
        qDebug() << prefix(sku) << OP_TAG << "[startDownloads while busy]";
        return;
    }
    transfers->startRound();
}

bool ProductDownloader::busy()
{
    return transfers->busy();
}

bool ProductDownloader::running()
{
    // A transfer whose request is out but whose first bytes have not come
    // is not busy yet, but it will report back: a pause pressed between two
    // files must pause, and an error stop must wait for its report too, or
    // one failed round would reach the user as several.
    return transfers->running();
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
    pendingTransfers.remove(file);
    if (pausing || cancelling) {
        checkPauseCancel();
        return;
    }
    checkAllDone();
}

void ProductDownloader::checkSha1(const QString &file)
{
    const FileRecord *record = recordOf(file);
    if (!record)
        return;
    checks->check(*record, checkPaths.value(file, targets.value(file, file)));
}

void ProductDownloader::handleSha1Passed(const QString &file)
{
    const FileRecord *record = recordOf(file);
    if (!record || !sha1Checks.contains(file)) {
        qWarning() << OP_TAG << file << "do not exist in files";
        return;
    }
    proven.insert(file);
    if (rqUpdate && checkPaths.value(file) == file)
        rqUpdate->keepInPlace(file);
    handleBytesDone(record->size);
    updateProgress();
    sha1Checks.remove(file);
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
    }
}

void ProductDownloader::handleRedownload(const QString &file)
{
    sha1Checks.remove(file);
    queueDownload(file);
    if (sha1Checks.isEmpty()) {
        ui->cancelButton->setEnabled(true);
        startDwonloads();
    }
}

bool ProductDownloader::everyFileDone() const
{
    return sha1Checks.isEmpty() && pendingTransfers.isEmpty();
}

void ProductDownloader::checkAllDone()
{
    if (finished || completing.isRunning() || (readback && readback->isRunning()) || doneBytes < totalBytes
        || !everyFileDone())
        return;
    Completion::Input input{writer, list.records, targets, checkPaths, proven,
                            productType == RqSd ? rqUpdate : nullptr, mediaIdDir};
    completing.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [input] { return Completion::run(input); }));
}

void ProductDownloader::handleCompletion()
{
    const Completion::Result result = completing.result();
    if (!result.survey.ok()) {
        stopForCardProblem(sku, result.survey.message());
        return;
    }
    if (!result.vanished.isEmpty()) {
        requeue(result.vanished);
        return;
    }
    if (productType == RqSd && rqUpdate) {
        if (!result.commit.ok()) {
            qWarning() << prefix(sku) << OP_TAG << "update not committed:" << result.commit.detail();
            stopForCardProblem(result.commit.path(), result.commit.message());
            return;
        }
        if (container && result.haveContainer)
            *container = result.container;
    }
    if (readBackOn)
        startReadback();
    else
        completeProduct();
}

void ProductDownloader::completeProduct()
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
        completeProduct();
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

void ProductDownloader::stopForCardProblem(const QString &path, const QString &message)
{
    downloadErrors.insert(path, message);
    startPending = false;
    ui->pauseButton->resumeReady();
    ui->cancelButton->setEnabled(true);
    checkErrors();
}

void ProductDownloader::requeue(const QStringList &vanished)
{
    QList<TransferOrder> orders;
    for (const QString &file : vanished) {
        const FileRecord *record = recordOf(file);
        if (!record)
            continue;
        qWarning() << prefix(file) << OP_TAG << "gone from the card during the run; fetched again";
        if (record->size == 0) {
            sha1Checks.insert(file);
            checkSha1(file);
            continue;
        }
        TransferOrder order{*record, targets.value(file, file), 0, true, false};
        if (proven.remove(file)) {
            handleBytesDone(-record->size);
            checkPaths.remove(file);
            if (rqUpdate)
                rqUpdate->dropInPlace(file);
        } else {
            order.restart = true;
        }
        pendingTransfers.insert(file);
        orders.append(order);
    }
    transfers->enqueue(orders);
    if (sha1Checks.isEmpty())
        startDwonloads();
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
        const QString problem = Preparation::cardProblem(writer.get(), mediaIdDir);
        if (!problem.isEmpty()) {
            emit errorPerm(sku, problem);
        } else {
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
    emit stageUpdate(sku, QStringLiteral("Validating Data"));
    emit statusUpdate(sku, QString());
    QStringList oldSegments;
    for (const QFileInfo &segment : std::as_const(container->segments))
        oldSegments.append(segment.fileName());
    const QString containerName = container->fileInfo.exists() ? container->fileInfo.fileName() : QString();
    prepare([card = writer, root = mediaIdDir, productSku = sku, body, containerName, oldSegments,
             header = headerBlock, chain = drmBytes, chartId = expectedChartId] {
        return Preparation::forSegments(card, root, productSku, body, containerName, oldSegments, header, chain,
                                        chartId);
    });
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
        transfers->pauseAll();
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
    transfers->pauseAll();
    cancelling = true;
    ui->cancelButton->setEnabled(false);
    if (running()) {
        qDebug() << prefix(sku) << OP_TAG << "CANCEL NOT EMIT" << "busy";
    } else {
        qDebug() << prefix(sku) << OP_TAG << "CANCEL EMIT";
        cancelEmitted = true;
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
    } else if (!cancelEmitted) {
        // Reports may still come from transfers that stopped with the last
        // one; the window hears of the end once.
        cancelEmitted = true;
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
    transfers->pauseAll();
    checkPauseCancel();
}
