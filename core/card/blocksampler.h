#pragma once

#include <QList>
#include <QtGlobal>

// Digests of a few blocks spread over a file, taken while the whole file is
// read to prove it, and compared with the same blocks read again after the
// last write of a run. A card that claims more room than it has wraps
// around: what is written late lands on what was written (or checked)
// early. Whatever a late write covers, it covers whole blocks; sampling the
// first and the last block of every file and one block in every sampleStep
// in between means that any later write of sampleStep or more over a file's
// bytes, and any write over all of a small file, changes a sampled block.
class BlockSampler
{
public:
    static constexpr qint64 blockSize = 4096;
    static constexpr qint64 sampleStep = 1024 * 1024;

    struct Sample
    {
        qint64 offset = 0; // where the block starts in the file
        qint64 length = 0; // blockSize, less at the file's end
        quint64 digest = 0;
    };

    // The blocks sampled in a file of this many bytes, in order.
    static QList<Sample> layout(qint64 fileLength);
    // A block's digest: not a cryptographic one; it tells a block from the
    // one that was there, not from one made to look like it.
    static quint64 digest(const char *bytes, qint64 length);

    explicit BlockSampler(qint64 fileLength);
    // bytes: the file's bytes from position on, in order, in any pieces.
    void feed(qint64 position, const char *bytes, qint64 length);
    // Complete once every sampled block has been fed whole.
    QList<Sample> samples() const { return blocks; }

private:
    QList<Sample> blocks;
    QByteArray partial; // the bytes of the block being fed
    int next = 0;
};
