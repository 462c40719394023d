#include "download/rateestimator.h"

#include <cmath>

RateEstimator::RateEstimator()
{
    clock.start();
}

void RateEstimator::reset()
{
    samples.clear();
    rate = 0;
    still = false;
}

void RateEstimator::sample(qint64 doneBytes, qint64 nowMs)
{
    const qint64 now = nowMs >= 0 ? nowMs : clock.elapsed();
    if (!samples.isEmpty() && samples.last().first == now) {
        samples.last().second = doneBytes;
    } else {
        samples.append({now, doneBytes});
    }
    // Keep one sample older than the window, so the window is always full.
    while (samples.size() > 2 && now - samples.at(1).first >= windowMs)
        samples.removeFirst();
    const qint64 span = now - samples.first().first;
    if (span < minimumMs) {
        rate = 0;
        still = false;
        return;
    }
    const qint64 bytes = samples.last().second - samples.first().second;
    rate = bytes > 0 ? double(bytes) * 1000.0 / double(span) : 0;
    still = bytes <= 0;
}

qint64 RateEstimator::secondsLeft(qint64 remaining) const
{
    if (rate <= 0 || remaining < 0)
        return -1;
    return qint64(std::ceil(double(remaining) / rate));
}
