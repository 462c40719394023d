#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPair>

// The rate of a transfer and the time it still needs, from the byte count
// over the last few seconds. A running count of bytes goes in whenever it
// changes; the estimate leaves out any time the count was not moving
// because the job was not running (reset on pause and resume), so a paused
// job never shows a collapsing rate.
class RateEstimator
{
public:
    // Long enough to smooth out the bursts of a few large files, short
    // enough to follow a link that slows down.
    static constexpr qint64 windowMs = 5000;
    // Below this much history the estimate says nothing.
    static constexpr qint64 minimumMs = 1000;

    RateEstimator();

    void reset();
    // doneBytes: the job's running count; nowMs for tests, else the clock.
    void sample(qint64 doneBytes, qint64 nowMs = -1);

    double bytesPerSecond() const { return rate; }
    // The whole of a measured span (at least minimumMs, up to windowMs)
    // went by without a byte: nothing arrives, as opposed to too little
    // history to say.
    bool stands() const { return still; }
    // Seconds for remaining bytes at the current rate; -1 when unknown.
    qint64 secondsLeft(qint64 remaining) const;

private:
    QElapsedTimer clock;
    QList<QPair<qint64, qint64>> samples; // (ms, bytes)
    double rate = 0;
    bool still = false;
};
