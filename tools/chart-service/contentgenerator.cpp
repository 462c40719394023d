#include "contentgenerator.h"

#include <QCryptographicHash>

#include <cstring>
#include <vector>

namespace {

inline std::uint64_t splitmix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

} // namespace

ContentGenerator::ContentGenerator(const QString &key)
    : m_seed(hashKey(key.toUtf8()))
{
}

ContentGenerator::ContentGenerator(std::uint64_t seed)
    : m_seed(seed)
{
}

std::uint64_t ContentGenerator::hashKey(const QByteArray &key)
{
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (char c : key) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ULL;
    }
    return splitmix(h);
}

// Each 64 KiB block has its own xorshift state derived from the seed and the
// block number, so a ranged read never has to replay the stream from byte 0.
void ContentGenerator::fillBlock(std::uint64_t block, std::uint64_t *words) const
{
    std::uint64_t s = splitmix(m_seed ^ splitmix(block + 1));
    if (s == 0)
        s = 1;
    for (std::size_t i = 0; i < BlockSize / 8; ++i) {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        words[i] = s * 0x2545f4914f6cdd1dULL;
    }
}

void ContentGenerator::fill(std::uint64_t offset, char *out, std::size_t length) const
{
    thread_local std::vector<std::uint64_t> scratch(BlockSize / 8);
    while (length > 0) {
        const std::uint64_t block = offset / BlockSize;
        const std::size_t within = std::size_t(offset % BlockSize);
        const std::size_t n = std::min(length, BlockSize - within);
        fillBlock(block, scratch.data());
        std::memcpy(out, reinterpret_cast<const char *>(scratch.data()) + within, n);
        out += n;
        offset += n;
        length -= n;
    }
}

QByteArray ContentGenerator::bytes(std::uint64_t offset, std::size_t length) const
{
    QByteArray result(qsizetype(length), Qt::Uninitialized);
    fill(offset, result.data(), length);
    return result;
}

QByteArray ContentGenerator::sha1Hex(std::uint64_t size) const
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    std::vector<char> buffer(16 * BlockSize);
    std::uint64_t offset = 0;
    while (offset < size) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), size - offset));
        fill(offset, buffer.data(), n);
        hash.addData(QByteArrayView(buffer.data(), qsizetype(n)));
        offset += n;
    }
    return hash.result().toHex();
}
