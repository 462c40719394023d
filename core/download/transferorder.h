#pragma once

#include <QMetaType>
#include <QString>

#include "service/filelist.h"

// What the downloader tells the transfer thread about one file to fetch. The
// record is named by its place in the list the thread was configured with:
// a product of 200,000 files queues as many orders at once.
struct TransferOrder
{
    int record = -1;      // index in the file list
    QString target;       // where the bytes go, relative to the card root
    qint64 resumeAt = 0;  // bytes of it kept on the card, counted already
    bool rewrite = false; // what lies at the target goes: fetched from byte 0
    bool restart = false; // fetched earlier in this run and gone since: from byte 0 again
};
// The orders of a product of 200,000 files grow by moving, not by copying.
Q_DECLARE_TYPEINFO(TransferOrder, Q_RELOCATABLE_TYPE);

// What the transfer thread reports with every event: the downloader answers
// busy() from the last report instead of reaching into the other thread.
struct TransferActivity
{
    int running = 0;        // transfers with a request out, bytes coming, or an end under way
    int busy = 0;           // of those, the ones DOWNLOADING, WRITING or PAUSING
    quint64 startsSeen = 0; // the last round start the thread has taken in
};
Q_DECLARE_METATYPE(TransferActivity)
