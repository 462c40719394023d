#pragma once

#include <QList>
#include <QString>
#include <QVector>

#include "card/blocksampler.h"

// What a job has proven of each file of its list, from the card itself: a
// file read whole from the medium and found as the service published it is
// proven, with the digests of its sampled blocks (BlockSampler); a change
// another program made to it since (ChangeMonitor) takes that away, and so
// does anything that leaves the job unable to tell (the card out of the
// computer, a monitor that broke): then the proof is void, and the file is
// read again before the job may say it is complete.
class ProofBook
{
public:
    enum class State : quint8 {
        Unproven, // not read from the card in this run, or fetched again
        Written,  // written and flushed by this run, not read back yet
        Proven,
        Void,    // proven, but what happened since cannot be told
        Changed, // proven, and changed since by another program
    };

    void reset(int files);
    int size() const { return int(states.size()); }

    void prove(int index, const QList<BlockSampler::Sample> &samples);
    // The run's own writes to the file are over; a change from now on is
    // another program's.
    void settleWritten(int index);
    void forget(int index);
    // Only a written or proven file can be changed; only a proven one made void.
    void markChanged(int index);
    void voidAll();

    State state(int index) const { return states.at(index); }
    // The digests of the blocks sampled when the file was proven; none when
    // it was not proven, or proven before it was settled or forgotten.
    QList<BlockSampler::Sample> samples(int index) const;
    bool hasSamples(int index) const { return counts.at(index) > 0; }
    QList<int> withState(State wanted) const;

private:
    QVector<State> states;
    // Every file's samples in one array, each file's at its own place: a
    // list apiece would cost an allocation per file, some 60 bytes for each
    // of 200,000 small files. A file proven again with as many samples
    // takes its old place; otherwise its new ones go at the end.
    QVector<BlockSampler::Sample> pool;
    QVector<qsizetype> starts;
    QVector<quint32> counts;
};
