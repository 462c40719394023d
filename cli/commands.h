#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include "arguments.h"
#include "card/cardidentity.h"
#include "card/cardstate.h"
#include "catalogue/product.h"
#include "download/joberror.h"
#include "printer.h"
#include "stopsignals.h"

class Job;
class JobRunner;
class Session;

// The commands of quorvel-cli, each a function from the parsed arguments to
// an exit status, on the core's service client, catalogue, card state and
// jobs. Whatever ends a command ends it through fail() or done(), so that
// a script always gets a last "done", "failed" or "paused" event.
class Commands : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Commands)

public:
    explicit Commands(const Arguments &arguments, QObject *parent = nullptr);
    ~Commands() override;

    int run();

private:
    int signIn();
    int signOut();
    int cards();
    int products();
    int download();
    int update();
    int verify();
    int eject();

    // The card --card names; false (and *code) when there is none.
    bool openCard(CardIdentity *card, int *code);
    // Signed in and the catalogue loaded; 0, or the exit status.
    int connectService();
    // An owned product of the catalogue; false (and *code) otherwise.
    bool findProduct(const QString &sku, Product *product, int *code);
    CardState readCard(const CardIdentity &card) const;
    // What a job that ended well leaves to be said of it.
    struct Ended
    {
        QStringList refetched; // files found damaged and fetched again
        QString proofNotKept;  // why its proof is not recorded; empty when it is
    };
    // Runs a job to where it rests; it is deleted afterwards.
    int runJob(Job *job, const QString &kind, const CardIdentity &card, Ended *ended = nullptr);

    int fail(const JobError &error);
    int fail(int code, const QString &kind, const QString &message, const QString &file = QString());
    int done(QJsonObject details = QJsonObject(), const QString &text = QString());
    void handleStop(int signalNumber);

    Arguments arguments;
    Printer printer;
    StopSignals stops;
    std::unique_ptr<Session> session;
    QPointer<JobRunner> running;
};
