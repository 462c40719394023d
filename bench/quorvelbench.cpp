// Headless driver for the benchmark: signs in to a chart service, activates
// one product for a card folder and runs the real ProductJob on it, then
// prints what it cost, one "key=value" per line. It links the core alone.
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "base/appglobals.h"
#include "base/settings.h"
#include "base/startup.h"
#include "card/cardwriter.h"
#include "download/download.h"
#include "download/productjob.h"
#include "service/chartservice.h"
#include "service/extracatrust.h"
#include "service/servicekeys.h"

namespace {

void out(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// Runs the event loop until the call has finished; false when it failed.
template<typename T>
bool wait(ServiceCall<T> *call, T *value, QString *why)
{
    bool ok = false;
    QEventLoop loop;
    QObject::connect(call, &ServiceReply::finished, &loop, [&] {
        ok = call->ok();
        if (ok)
            *value = call->value();
        else
            *why = call->error().message;
        loop.quit();
    });
    loop.exec();
    return ok;
}

// The clock the sleeping process (quorvel-sleeper) reports in, so that its
// lateness can be laid over this run's phases.
qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Peak resident set of this process so far, in KiB.
qint64 peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Measures how late a 5 ms timer fires on the GUI thread: whatever blocks
// the event loop (hashing, file writes, log formatting) shows up here, per
// phase of the run.
//
// A late tick is charged to the phase that was current when its interval
// began, not to the one current when the tick finally runs. The event loop
// cannot preempt a slot, so a late tick means some slot started within that
// interval and ran long; and a phase changes inside such slots (activation
// ends its own long slot by starting the transfers), so charging the phase
// of the moment would put preparation's cost on the transfers. The price:
// a slot that starts after a phase change but within the same 5 ms interval
// is charged to the phase before; at most one interval per change.
class StallProbe : public QObject
{
public:
    enum Phase { Prepare, Transfer, ReadBack, PhaseCount };

    StallProbe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, [this] {
            const qint64 now = clock.nsecsElapsed();
            const qint64 late = now - last - 5000000;
            const Schedule schedule = scheduleNow();
            if (late > worst[intervalPhase]) {
                worst[intervalPhase] = late;
                worstAt[intervalPhase] = last;
                worstRan[intervalPhase] = schedule.ran - lastSchedule.ran;
                worstQueued[intervalPhase] = schedule.queued - lastSchedule.queued;
            }
            last = now;
            lastSchedule = schedule;
            intervalPhase = phase;
        });
    }
    ~StallProbe() override
    {
        if (schedstat >= 0)
            ::close(schedstat);
    }
    Q_DISABLE_COPY_MOVE(StallProbe)

    void start()
    {
        startedMono = monotonicNs();
        clock.start();
        last = 0;
        // Else the first interval would count all the thread ran before.
        lastSchedule = scheduleNow();
        timer.start();
    }
    void setPhase(Phase next) { phase = next; }
    double worstMs(Phase of) const { return double(worst[of]) / 1e6; }
    // When the worst late interval of a phase began, seconds from start().
    double worstAtSeconds(Phase of) const { return double(worstAt[of]) / 1e9; }
    // The same on the machine's monotonic clock, for lining it up with the
    // sleeping process's record: the late part ran from here to here + worst.
    qint64 worstLateFromMonoNs(Phase of) const { return startedMono + worstAt[of] + 5000000; }
    // Of that interval: how long the GUI thread ran, and how long it was
    // ready but waited for a core (the rest it slept or was blocked).
    double worstRanMs(Phase of) const { return double(worstRan[of]) / 1e6; }
    double worstQueuedMs(Phase of) const { return double(worstQueued[of]) / 1e6; }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 startedMono = 0;
    Phase phase = Prepare;
    Phase intervalPhase = Prepare;
    qint64 worst[PhaseCount] = {};
    qint64 worstAt[PhaseCount] = {};
    qint64 worstRan[PhaseCount] = {};
    qint64 worstQueued[PhaseCount] = {};

    struct Schedule
    {
        qint64 ran = 0;
        qint64 queued = 0;
    };
    // The kernel's account of the GUI thread (the one that made the probe):
    // nanoseconds on a core, and nanoseconds runnable on a run queue. Kept
    // open and read again from its start: the probe must weigh next to
    // nothing on the thread it measures, 200 times a second.
    Schedule scheduleNow() const
    {
        char text[128];
        const ssize_t got = schedstat >= 0 ? ::pread(schedstat, text, sizeof text - 1, 0) : -1;
        if (got <= 0)
            return {};
        const QList<QByteArray> fields = QByteArray(text, got).split(' ');
        return {fields.value(0).toLongLong(), fields.value(1).toLongLong()};
    }
    int schedstat = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    Schedule lastSchedule;
};

} // namespace

int main(int argc, char *argv[])
{
    prepareStartup();
    QCoreApplication app(argc, argv);
    // Over HTTPS the local service's authority comes from the environment,
    // as for the tool itself.
    ExtraCaTrust::installFromEnvironment();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Downloads one product onto a card folder and measures it."));
    parser.addHelpOption();
    const QCommandLineOption emailOpt(QStringLiteral("email"), QStringLiteral("Account e-mail."), QStringLiteral("email"));
    const QCommandLineOption passwordOpt(QStringLiteral("password"), QStringLiteral("Account password."),
                                         QStringLiteral("password"));
    const QCommandLineOption skuOpt(QStringLiteral("sku"), QStringLiteral("Product SKU."), QStringLiteral("sku"));
    const QCommandLineOption typeOpt(QStringLiteral("type"), QStringLiteral("velmora or talvo."), QStringLiteral("type"),
                                     QStringLiteral("velmora"));
    const QCommandLineOption cardOpt(QStringLiteral("card"), QStringLiteral("Card root (holds ENCRYPT.TXT)."),
                                     QStringLiteral("dir"));
    const QCommandLineOption concurrencyOpt(QStringLiteral("concurrency"),
                                            QStringLiteral("downloadConcurrency setting."), QStringLiteral("n"),
                                            QStringLiteral("3"));
    const QCommandLineOption listOpt(QStringLiteral("list-only"),
                                     QStringLiteral("Only activate and write \"url<TAB>file<TAB>sha1\" lines here."),
                                     QStringLiteral("file"));
    // What proving a file costs, measured by leaving a part out: the tool
    // itself always syncs and verifies.
    const QCommandLineOption noSyncOpt(QStringLiteral("no-sync"),
                                       QStringLiteral("Do not sync files and folders to the medium."));
    const QCommandLineOption noVerifyOpt(QStringLiteral("no-verify"),
                                         QStringLiteral("Do not hash downloaded files while they are written."));
    // The read-back is a setting the user may turn off; measured the same way.
    const QCommandLineOption noReadBackOpt(QStringLiteral("no-readback"),
                                           QStringLiteral("Do not read the files back from the card at the end."));
    // Work on the preparation of a long list need not wait for its transfers.
    const QCommandLineOption prepareOnlyOpt(QStringLiteral("prepare-only"),
        QStringLiteral("Stop when the first transfer starts and print only the preparation's figures."));
    parser.addOptions({ emailOpt, passwordOpt, skuOpt, typeOpt, cardOpt, concurrencyOpt, listOpt, noSyncOpt,
        noVerifyOpt, noReadBackOpt, prepareOnlyOpt });
    parser.process(app);
    CardWriter::setBenchmarkShortcuts(!parser.isSet(noSyncOpt), !parser.isSet(noVerifyOpt));
    if (!parser.isSet(skuOpt) || !parser.isSet(cardOpt) || !parser.isSet(emailOpt)) {
        out(QStringLiteral("error=--email, --sku and --card are required"));
        return 2;
    }
    const QString sku = parser.value(skuOpt);
    const QString card = parser.value(cardOpt);

    {
        Settings settings(configFilePath);
        settings.setValue(SettingsKeys::downloadConcurrency, parser.value(concurrencyOpt));
        settings.setValue(SettingsKeys::readBackAfterWriting,
                          parser.isSet(noReadBackOpt) ? QStringLiteral("0") : QStringLiteral("1"));
    }

    ChartService service;
    QString why;
    QString session;
    if (!wait(service.signIn(parser.value(emailOpt), ServiceKeys::passwordHash(parser.value(passwordOpt))), &session,
              &why)) {
        out(QStringLiteral("error=sign-in failed (%1)").arg(why));
        return 1;
    }

    const CardIdentity identity = CardIdentity::fromRoot(card);
    if (parser.isSet(listOpt)) {
        QByteArray body;
        QFile list(parser.value(listOpt));
        if (!wait(service.activate(identity.mediaText(), sku, session), &body, &why)
            || !list.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            out(QStringLiteral("error=activation failed (%1)").arg(why));
            return 1;
        }
        const QJsonObject reply = QJsonDocument::fromJson(body).object();
        const QString base = reply.value(QStringLiteral("cdn_end_point")).toString().isEmpty()
                                 ? reply.value(QStringLiteral("end_point")).toString()
                                 : reply.value(QStringLiteral("cdn_end_point")).toString();
        QTextStream stream(&list);
        for (const QJsonValue &value : reply.value(QStringLiteral("files")).toArray()) {
            const QJsonObject record = value.toObject();
            const QString file = record.value(QStringLiteral("file")).toString();
            stream << base << file << '\t' << file << '\t' << record.value(QStringLiteral("sha1")).toString() << '\n';
        }
        return 0;
    }

    Product product;
    product.productId = 1;
    product.sku = sku;
    product.name = sku;
    product.line = parser.value(typeOpt) == QLatin1String("talvo") ? Talvos : VelmoraRegion;
    const JobOptions options = JobOptions::fromSettings();
    auto *job = new ProductJob(&service, product, session, identity, options);

    StallProbe probe;
    QElapsedTimer wall;
    int exitCode = 0;
    // Activation, the card's vmid and the sorting of every file happen
    // before the first round of transfers; reported apart from the rest.
    double preparedSeconds = -1;
    double readBackFrom = -1;
    // The peak once the list is read and every file has its step: what the
    // list itself costs, apart from the transfers.
    qint64 preparedPeakKiB = -1;
    qint64 phaseFrom[StallProbe::PhaseCount] = {};
    // When the worst stall of a phase came, and how much of it the thread
    // ran and how much it waited for a core (the rest it was blocked).
    const auto worst = [&](const char *name, StallProbe::Phase phase) {
        out(QStringLiteral("%1_max_stall_at_s=%2")
                .arg(QLatin1String(name))
                .arg(probe.worstAtSeconds(phase), 0, 'f', 3));
        out(QStringLiteral("%1_max_stall_ran_ms=%2")
                .arg(QLatin1String(name))
                .arg(probe.worstRanMs(phase), 0, 'f', 1));
        out(QStringLiteral("%1_max_stall_queued_ms=%2")
                .arg(QLatin1String(name))
                .arg(probe.worstQueuedMs(phase), 0, 'f', 1));
        out(QStringLiteral("%1_max_stall_late_from_mono_ns=%2")
                .arg(QLatin1String(name))
                .arg(probe.worstLateFromMonoNs(phase)));
    };
    QObject::connect(job, &Job::stageChanged, &app, [&](Job::Stage stage) {
        if (preparedPeakKiB < 0 && stage != Job::Stage::Activating && stage != Job::Stage::Preparing
            && stage != Job::Stage::Ready)
            preparedPeakKiB = peakRssKiB();
        if (preparedSeconds < 0 && stage == Job::Stage::Transferring) {
            preparedSeconds = double(wall.nsecsElapsed()) / 1e9;
            probe.setPhase(StallProbe::Transfer);
            phaseFrom[StallProbe::Transfer] = monotonicNs();
            if (parser.isSet(prepareOnlyOpt)) {
                out(QStringLiteral("prepare_s=%1").arg(preparedSeconds, 0, 'f', 3));
                out(QStringLiteral("prepared_peak_rss_mib=%1")
                        .arg(double(preparedPeakKiB) / 1024.0, 0, 'f', 1));
                out(QStringLiteral("prepare_max_stall_ms=%1")
                        .arg(probe.worstMs(StallProbe::Prepare), 0, 'f', 1));
                worst("prepare", StallProbe::Prepare);
                // The transfers have begun on other threads: nothing of them
                // is waited for.
                std::_Exit(0);
            }
        }
        if (stage == Job::Stage::ReadingBack) {
            readBackFrom = double(wall.nsecsElapsed()) / 1e9;
            probe.setPhase(StallProbe::ReadBack);
            phaseFrom[StallProbe::ReadBack] = monotonicNs();
        }
    });
    const auto done = [&] {
        const double seconds = double(wall.nsecsElapsed()) / 1e9;
        out(QStringLiteral("phases_mono_ns=%1 %2 %3 %4")
                .arg(phaseFrom[StallProbe::Prepare])
                .arg(phaseFrom[StallProbe::Transfer])
                .arg(phaseFrom[StallProbe::ReadBack])
                .arg(monotonicNs()));
        const qint64 bytes = job->progress().bytesTotal;
        const double mib = double(bytes) / 1048576.0;
        // The peers get as many connections as ours used at most.
        out(QStringLiteral("concurrency=%1").arg(qMax(1, job->transfersAtOnce())));
        out(QStringLiteral("concurrency_setting=%1").arg(options.concurrency));
        out(QStringLiteral("wall_s=%1").arg(seconds, 0, 'f', 3));
        out(QStringLiteral("prepare_s=%1").arg(preparedSeconds, 0, 'f', 3));
        out(QStringLiteral("readback_s=%1").arg(readBackFrom < 0 ? 0.0 : seconds - readBackFrom, 0, 'f', 3));
        out(QStringLiteral("bytes=%1").arg(bytes));
        out(QStringLiteral("files=%1").arg(job->fileCount()));
        out(QStringLiteral("throughput_mib_s=%1").arg(mib / seconds, 0, 'f', 1));
        out(QStringLiteral("peak_rss_mib=%1").arg(double(peakRssKiB()) / 1024.0, 0, 'f', 1));
        out(QStringLiteral("prepared_peak_rss_mib=%1").arg(double(preparedPeakKiB) / 1024.0, 0, 'f', 1));
        const double prepareStallMs = probe.worstMs(StallProbe::Prepare);
        const double transferStallMs = probe.worstMs(StallProbe::Transfer);
        const double readBackStallMs = probe.worstMs(StallProbe::ReadBack);
        out(QStringLiteral("prepare_max_stall_ms=%1").arg(prepareStallMs, 0, 'f', 1));
        out(QStringLiteral("transfer_max_stall_ms=%1").arg(transferStallMs, 0, 'f', 1));
        out(QStringLiteral("readback_max_stall_ms=%1").arg(readBackStallMs, 0, 'f', 1));
        worst("prepare", StallProbe::Prepare);
        worst("transfer", StallProbe::Transfer);
        worst("readback", StallProbe::ReadBack);
        const double worstStallMs = qMax(prepareStallMs, qMax(transferStallMs, readBackStallMs));
        out(QStringLiteral("max_stall_ms=%1").arg(worstStallMs, 0, 'f', 1));
        QTimer::singleShot(0, &app, [&] { app.exit(0); });
    };
    const auto failed = [&] {
        const JobError error = job->leadingError();
        out(QStringLiteral("error=%1: %2 %3").arg(JobError::kindName(error.kind), error.file, error.message).simplified());
        exitCode = 1;
        QTimer::singleShot(0, &app, [&] { app.exit(1); });
    };
    // Done, or any stop: a benchmark run that pauses has failed.
    QObject::connect(job, &Job::stageChanged, &app, [&](Job::Stage stage) {
        if (stage == Job::Stage::Done)
            done();
        else if (stage == Job::Stage::Failed || stage == Job::Stage::Paused || stage == Job::Stage::Cancelled)
            failed();
    });

    probe.start();
    wall.start();
    phaseFrom[StallProbe::Prepare] = monotonicNs();
    job->start();
    const int result = app.exec();
    delete job;
    return exitCode ? exitCode : result;
}
