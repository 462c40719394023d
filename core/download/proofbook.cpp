#include "download/proofbook.h"

void ProofBook::reset(int files)
{
    states = QVector<State>(files, State::Unproven);
    blocks = QVector<QList<BlockSampler::Sample>>(files);
}

void ProofBook::prove(int index, const QList<BlockSampler::Sample> &samples)
{
    states[index] = State::Proven;
    blocks[index] = samples;
}

void ProofBook::settleWritten(int index)
{
    states[index] = State::Written;
    blocks[index].clear();
}

void ProofBook::forget(int index)
{
    states[index] = State::Unproven;
    blocks[index].clear();
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
