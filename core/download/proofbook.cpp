#include "download/proofbook.h"

#include <algorithm>

void ProofBook::reset(int files)
{
    states = QVector<State>(files, State::Unproven);
    pool.clear();
    starts = QVector<qsizetype>(files, 0);
    counts = QVector<quint32>(files, 0);
}

void ProofBook::prove(int index, const QList<BlockSampler::Sample> &samples)
{
    states[index] = State::Proven;
    // A place once given keeps its size: only a file proven with as many
    // samples as it had may take it again.
    if (samples.size() != counts.at(index) || starts.at(index) + samples.size() > pool.size()) {
        starts[index] = pool.size();
        pool.append(samples);
    } else {
        std::copy(samples.cbegin(), samples.cend(), pool.begin() + starts.at(index));
    }
    counts[index] = quint32(samples.size());
}

QList<BlockSampler::Sample> ProofBook::samples(int index) const
{
    return pool.mid(starts.at(index), counts.at(index));
}

void ProofBook::settleWritten(int index)
{
    states[index] = State::Written;
    counts[index] = 0;
}

void ProofBook::forget(int index)
{
    states[index] = State::Unproven;
    counts[index] = 0;
}

void ProofBook::markChanged(int index)
{
    const State now = states.at(index);
    if (now == State::Proven || now == State::Void || now == State::Written)
        states[index] = State::Changed;
}

void ProofBook::voidAll()
{
    for (State &state : states) {
        if (state == State::Proven)
            state = State::Void;
    }
}

QList<int> ProofBook::withState(State wanted) const
{
    QList<int> found;
    for (int i = 0; i < states.size(); ++i) {
        if (states.at(i) == wanted)
            found.append(i);
    }
    return found;
}
