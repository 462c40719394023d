#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QPointer>
#include <QString>

#include "card/mikfile.h"
#include "catalogue/product.h"
#include "download/downloadjob.h"
#include "service/servicereply.h"

class ChartService;

// An RQ card's chart brought up to the service's newest build: the service's
// new header is checked against the card's container, the container is
// backed up to the data folder, the new build's segment list is read, and
// the update runs as one transaction on the card (RqUpdate) through the
// shared engine. A staged move that was cut off (RqStaging) is finished
// first, from the data folder alone: the card is of no use until it is.
class RqUpdateJob : public DownloadJob
{
    Q_OBJECT

public:
    // containerName: the card's container at its root.
    RqUpdateJob(ChartService *service, const Product &product, const CardIdentity &card,
                const QString &containerName, const JobOptions &options, QObject *parent = nullptr);
    ~RqUpdateJob() override;

    QString title() const override { return item.name; }
    const Product &product() const { return item; }

protected:
    void begin() override;
    void stopOwnWork() override;
    void proven() override;
    bool ownWorkIdle() const override { return !call && !backingUp.isRunning(); }

private:
    void handleHeader(ServiceCall<QByteArray> *reply);
    void handleBackedUp();
    // Where the container is copied before the update changes it.
    QString backupFolder() const;
    void handleSegments(ServiceCall<QByteArray> *reply);
    // Ends the job while nothing on the card changed yet.
    bool stoppedEarly();
    // True when the card is in the middle of a staged move whose files and
    // manifest are in the data folder; the move then goes on without the
    // service.
    bool resumeStagedMove();

    ChartService *service;
    Product item;
    QString containerFile;
    Mik::MikFile container;
    QByteArray chain;
    QByteArray header;
    QPointer<ServiceReply> call;
    QFutureWatcher<QString> backingUp;
};
