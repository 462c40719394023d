#include "download/autoresume.h"

#include <QLoggingCategory>
#include <QNetworkInformation>

Q_DECLARE_LOGGING_CATEGORY(lcJob)

AutoResume::AutoResume(Job *watched, QObject *parent)
    : QObject(parent)
    , job(watched)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &AutoResume::tryNow);
    connect(watched, &Job::stageChanged, this, &AutoResume::handleStage);
    connect(watched, &Job::progressChanged, this, [this](const JobProgress &) {
        if (job && job->stage() == Job::Stage::Transferring)
            madeProgress = true;
    });
    // Where the system can tell that the network is back, that is when to
    // try; without it the growing waits do.
    if (QNetworkInformation::instance() || QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
                [this](QNetworkInformation::Reachability reachability) {
                    if (reachability == QNetworkInformation::Reachability::Online)
                        handleOnline();
                });
    }
}

int AutoResume::delayAfter(int tries)
{
    qint64 delay = firstDelayMs;
    for (int i = 0; i < tries && delay < lastDelayMs; ++i)
        delay *= 2;
    return int(qMin<qint64>(delay, lastDelayMs));
}

qint64 AutoResume::msUntilTry() const
{
    return timer.isActive() ? timer.remainingTime() : -1;
}

void AutoResume::handleStage(Job::Stage stage)
{
    if (!job)
        return;
    if (stage == Job::Stage::Paused && job->pauseReason() == Job::PauseReason::NetworkLost) {
        // A try that got somewhere before the network went again starts the
        // waits afresh.
        if (madeProgress)
            attempt = 0;
        madeProgress = false;
        const int delay = delayAfter(attempt);
        timer.start(delay);
        qCInfo(lcJob) << job->title() << "network lost; trying again in" << delay / 1000 << "s";
        emit scheduled(delay);
        return;
    }
    if (timer.isActive() && stage != Job::Stage::Pausing) {
        // The user paused, cancelled or resumed: their word stands.
        timer.stop();
        emit scheduled(-1);
    }
    if (job->isFinished())
        attempt = 0;
}

void AutoResume::handleOnline()
{
    if (timer.isActive())
        tryNow();
}

void AutoResume::tryNow()
{
    timer.stop();
    if (!job || !job->isPaused() || job->pauseReason() != Job::PauseReason::NetworkLost)
        return;
    ++attempt;
    emit scheduled(-1);
    job->resume();
}
