#include "download/rqupdatejob.h"

#include <QDir>
#include <QSet>
#include <QLoggingCategory>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

#include "base/appglobals.h"
#include "base/ownfolder.h"
#include "card/cardwriter.h"
#include "download/rqstaging.h"
#include "download/rqupdate.h"
#include "service/chartservice.h"

Q_DECLARE_LOGGING_CATEGORY(lcJob)

namespace {

// The manifest is the tool's own and outlives a crash, but it lies in a
// folder anybody may touch: it only counts when its list tells one whole
// build, segments numbered from the first without a gap, and names every
// segment already moved and every one staged. A list that lost entries (a
// damaged or edited file) would otherwise have the move end "proven" with
// segments missing from the card.
bool tellsWholeBuild(const FileList &list, const RqStaging::Manifest &manifest, const QString &stagingFolder)
{
    QSet<QString> names;
    for (const FileRecord &record : list.records)
        names.insert(record.file);
    if (names.isEmpty() || names.size() != list.records.size())
        return false;
    for (int index = 1; index <= names.size(); ++index) {
        if (!names.contains(list.baseName + QLatin1Char('.') + Mik::MikFile::segmentExtension(index)))
            return false;
    }
    for (const QString &placed : manifest.placed) {
        if (!names.contains(placed))
            return false;
    }
    const QStringList staged = QDir(stagingFolder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : staged) {
        if (!RqUpdate::isTemporaryName(name))
            continue;
        const bool named = std::any_of(names.cbegin(), names.cend(), [&name](const QString &segment) {
            return name.startsWith(segment + QLatin1Char('.'));
        });
        if (!named)
            return false;
    }
    return true;
}

} // namespace

RqUpdateJob::RqUpdateJob(ChartService *chartService, const Product &product, const CardIdentity &card,
                         const QString &containerName, const JobOptions &jobOptions, QObject *parent)
    : DownloadJob(card, jobOptions, parent)
    , service(chartService)
    , item(product)
    , containerFile(containerName)
{
    claimCard(card, CardLock::Mode::Exclusive, QStringLiteral("updating %1").arg(product.sku.simplified()));
    connect(&backingUp, &QFutureWatcher<QString>::finished, this, &RqUpdateJob::handleBackedUp);
}

RqUpdateJob::~RqUpdateJob()
{
    backingUp.waitForFinished();
}

void RqUpdateJob::begin()
{
    if (!moveTo(Stage::Activating))
        return;
    try {
        container = Mik::MikFile(identity.root() + QLatin1Char('/') + containerFile);
    } catch (const QString &message) {
        qCWarning(lcJob) << "container not readable:" << message;
        fail(JobError{JobError::Other, containerFile, QStringLiteral("Invalid Chart Data")});
        return;
    }
    // Read before anything on the card changes: the chain may reach into
    // segment files that the update replaces.
    bool whole = false;
    chain = container.getDrmBytes(&whole);
    if (chain.isEmpty() || !whole) {
        // Going on would give the card a container without its chart, or
        // with a part of it (a chain that runs into a missing segment).
        fail(JobError{JobError::Other, containerFile, QStringLiteral("Invalid Chart Data")});
        return;
    }
    if (resumeStagedMove())
        return;
    ServiceCall<QByteArray> *reply = service->headerUpdate(container.chartName());
    call = reply;
    connect(reply, &ServiceReply::finished, this, [this, reply] { handleHeader(reply); });
}

bool RqUpdateJob::resumeStagedMove()
{
    RqStaging::Manifest manifest;
    const RqStaging staging(appDataFolder, identity.rawMediaId(), container.chartName());
    if (!staging.read(&manifest))
        return false;
    FileList list;
    QString refusal;
    if (!list.parse(manifest.list, FileList::Kind::Segments, &refusal))
        return false;
    if (!tellsWholeBuild(list, manifest, staging.folder())) {
        qCWarning(lcJob) << item.sku << "staged move not taken up: its list does not tell a whole build";
        return false;
    }
    // The move began only once the new container, marked, was on the card.
    const QString name = list.baseName + QStringLiteral(".kim");
    QByteArray onCard;
    if (!writer->readFile(name, Mik::MikFile::headerImageSize, &onCard).ok()
        || onCard != RqUpdate::updatingHeader(manifest.header))
        return false;
    Mik::MikFile marked;
    bool whole = false;
    QByteArray markedChain;
    try {
        marked = Mik::MikFile(identity.root() + QLatin1Char('/') + name);
        markedChain = marked.getDrmBytes(&whole);
    } catch (const QString &message) {
        qCWarning(lcJob) << "marked container not readable:" << message;
        return false;
    }
    if (markedChain.isEmpty() || !whole)
        return false;
    qCInfo(lcJob) << item.sku << "finishing a staged move from" << manifest.chartId;
    chain = markedChain;
    header = manifest.header;
    // The container the job was given may be the old build's under another
    // name, if the move stopped before it went: its files go too.
    QStringList oldSegments;
    for (const Mik::MikFile *found : {&container, &marked}) {
        for (const QFileInfo &segment : std::as_const(found->segments)) {
            if (!oldSegments.contains(segment.fileName()))
                oldSegments.append(segment.fileName());
        }
    }
    prepare([card = writer, root = identity.root(), sku = item.sku, body = manifest.list, name = containerFile,
             oldSegments, head = header, drm = chain, chartId = manifest.chartId] {
        return Preparation::forSegments(card, root, sku, body, name, oldSegments, head, drm, chartId);
    });
    return true;
}

void RqUpdateJob::proven()
{
    if (rqUpdate)
        rqUpdate->finished();
}

bool RqUpdateJob::stoppedEarly()
{
    if (stage() != Stage::Cancelling)
        return false;
    moveTo(Stage::Cancelled);
    return true;
}

void RqUpdateJob::stopOwnWork()
{
    if (call) {
        call->abort();
        call = nullptr;
    }
}

void RqUpdateJob::handleHeader(ServiceCall<QByteArray> *reply)
{
    call = nullptr;
    if (stoppedEarly())
        return;
    if (!reply->ok()) {
        fail(JobError::fromService(reply->error()));
        return;
    }
    const QString damaged = RqUpdate::headerProblem(reply->value());
    if (!damaged.isEmpty()) {
        qCWarning(lcJob) << item.sku << "header refused:" << reply->value().size() << "bytes";
        fail(JobError{JobError::ServiceReply, QString(), damaged});
        return;
    }
    header = reply->value().left(Mik::MikFile::headerImageSize);
    if (!RqUpdate::acceptsHeader(header, container, item)) {
        Mik::MikFile image;
        image.setHeaderImage(header);
        qCWarning(lcJob) << item.sku << "header refused: chart" << image.chartName() << "build"
                         << image.buildNumber() << image.buildCode() << "version" << image.chartVersion() << "flags"
                         << image.flags() << "; the catalogue's newest build" << item.buildNumber << item.buildCode;
        fail(JobError{JobError::ServiceReply, QString(), QStringLiteral("Error updating chart")});
        return;
    }
    // The service hears of the update; what it answers changes nothing here.
    service->announceUpdate();

    // The container is the one file an update rewrites that the service
    // cannot give back: a copy goes to the data folder before it changes.
    if (!moveTo(Stage::BackingUp))
        return;
    const QString folder = backupFolder();
    backingUp.setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                          [card = writer, name = containerFile, folder] {
                                              QString why;
                                              if (!OwnFolder::make(folder, &why))
                                                  return why;
                                              return RqUpdate::backUp(*card, name, folder + QLatin1Char('/') + name);
                                          }));
}

QString RqUpdateJob::backupFolder() const
{
    return appDataFolder + QLatin1Char('/') + container.getChartID(QStringLiteral("-")).trimmed();
}

void RqUpdateJob::handleBackedUp()
{
    if (stoppedEarly())
        return;
    const QString why = backingUp.result();
    if (!why.isEmpty()) {
        qCWarning(lcJob) << containerFile << "not backed up:" << why;
        fail(JobError{JobError::Other, containerFile,
                      QStringLiteral("The chart container could not be copied to this computer, in %1, before the "
                                     "update changes it (%2). Nothing on the card was changed. Make room on that "
                                     "disk, or let the tool write there, then start the update again.")
                          .arg(backupFolder(), why)});
        return;
    }
    ServiceCall<QByteArray> *reply = service->segments(container.chartName());
    call = reply;
    connect(reply, &ServiceReply::finished, this, [this, reply] { handleSegments(reply); });
}

void RqUpdateJob::handleSegments(ServiceCall<QByteArray> *reply)
{
    call = nullptr;
    if (stoppedEarly())
        return;
    if (!reply->ok()) {
        fail(JobError::fromService(reply->error()));
        return;
    }
    QStringList oldSegments;
    for (const QFileInfo &segment : std::as_const(container.segments))
        oldSegments.append(segment.fileName());
    const QString chartId = item.sku + QLatin1Char('-') + QString::number(item.buildNumber) + QLatin1Char('-')
                            + QString::number(item.buildCode);
    prepare([card = writer, root = identity.root(), sku = item.sku, body = reply->value(), name = containerFile,
             oldSegments, head = header, drm = chain, chartId] {
        return Preparation::forSegments(card, root, sku, body, name, oldSegments, head, drm, chartId);
    });
}
