#pragma once

#include <QFutureWatcher>
#include <QPointer>
#include <QString>

#include <memory>

#include "card/cardidentity.h"
#include "catalogue/product.h"
#include "download/job.h"
#include "download/readbackverifier.h"
#include "service/filelist.h"
#include "service/servicereply.h"

class CardWriter;
class ChartService;

// Proves what a card holds of a product without writing to it: every file
// of the service's list is read back from the card (past the page cache)
// and compared with the service's length, SHA-1 and inline bytes; for an RQ
// chart, the segments of its newest build and the container's own digest.
// A product proven this way is recorded as complete on this computer.
class VerifyJob : public Job
{
    Q_OBJECT

public:
    VerifyJob(ChartService *service, const Product &product, const QString &sessionId, const CardIdentity &card,
              QObject *parent = nullptr);
    ~VerifyJob() override;

    QString title() const override { return item.name; }
    const Product &product() const { return item; }

protected:
    void begin() override;
    void stopWork() override;
    void continueWork() override {}
    bool workIdle() const override;

private:
    struct Survey
    {
        JobError error;
        FileList list;
        QList<JobError> differences;
        QList<ReadbackVerifier::Item> items;
        QString container; // RQ: the container of the chart, at the root
    };

    void handleList(ServiceCall<QByteArray> *reply);
    void handleSurvey();
    void handleReadback();
    // What this computer proved of the product on the card no longer holds
    // once a check finds its files otherwise.
    void withdrawProof(const QList<JobError> &problems) const;
    static Survey survey(std::shared_ptr<const CardWriter> writer, const QByteArray &body, bool segments,
                         const QString &chartName);
    // The container's digest against its content; a problem, or none.
    static JobError containerProblem(const CardWriter &writer, const QString &name);

    ChartService *service;
    Product item;
    QString session;
    CardIdentity identity;
    std::shared_ptr<const CardWriter> writer;
    QPointer<ServiceReply> call;
    QFutureWatcher<Survey> surveying;
    ReadbackVerifier readback;
    Survey found;
};
