#include "card/blocksampler.h"

#include <QByteArray>

#include <cstring>

QList<BlockSampler::Sample> BlockSampler::layout(qint64 fileLength)
{
    QList<Sample> found;
    if (fileLength <= 0)
        return found;
    const auto add = [&](qint64 offset) {
        if (!found.isEmpty() && found.last().offset >= offset)
            return;
        found.append({offset, qMin(blockSize, fileLength - offset), 0});
    };
    add(0);
    for (qint64 offset = sampleStep; offset < fileLength; offset += sampleStep)
        add(offset);
    add(((fileLength - 1) / blockSize) * blockSize);
    return found;
}

quint64 BlockSampler::digest(const char *bytes, qint64 length)
{
    // Word-wise multiply and mix: fast enough to run over every sampled
    // byte as it streams past, and every bit of the block moves the result.
    quint64 value = 0x9e3779b97f4a7c15ULL ^ quint64(length);
    qint64 i = 0;
    for (; i + 8 <= length; i += 8) {
        quint64 word;
        std::memcpy(&word, bytes + i, 8);
        value ^= word;
        value *= 0xbf58476d1ce4e5b9ULL;
        value ^= value >> 31;
    }
    for (; i < length; ++i) {
        value ^= quint64(quint8(bytes[i])) << (8 * (i % 8));
        value *= 0x94d049bb133111ebULL;
    }
    value ^= value >> 29;
    return value;
}

BlockSampler::BlockSampler(qint64 fileLength)
    : blocks(layout(fileLength))
{
}

void BlockSampler::feed(qint64 position, const char *bytes, qint64 length)
{
    while (length > 0 && next < blocks.size()) {
        Sample &block = blocks[next];
        const qint64 end = block.offset + block.length;
        if (position + length <= block.offset)
            return;
        if (position >= end) {
            // Bytes past this block came without it (a read that began
            // later): it cannot be sampled.
            ++next;
            partial.clear();
            continue;
        }
        const qint64 from = qMax(position, block.offset + partial.size());
        const qint64 upTo = qMin(position + length, end);
        if (from < upTo)
            partial.append(bytes + (from - position), upTo - from);
        if (block.offset + partial.size() == end) {
            block.digest = digest(partial.constData(), partial.size());
            partial.clear();
            ++next;
            continue;
        }
        return;
    }
}
