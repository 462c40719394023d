#pragma once

#include <QMetaType>
#include <QtGlobal>

// How far a job is in its current stage: the bytes and files of the
// transfers, or of the read-back while the card is verified, with the rate
// and the time left that the one rate estimator gives (row, tray and
// command line all show the same figures).
struct JobProgress
{
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    int filesDone = 0;
    int filesTotal = 0;
    // Bytes per second over the last few seconds; 0 until there is enough to say.
    double bytesPerSecond = 0;
    // -1 while unknown.
    qint64 secondsLeft = -1;
    // Nothing has come for the whole span the rate looks at.
    bool standing = false;

    int percent() const
    {
        if (bytesTotal <= 0)
            return 0;
        return int(qBound(qint64(0), bytesDone * 100 / bytesTotal, qint64(100)));
    }
};

Q_DECLARE_METATYPE(JobProgress)
