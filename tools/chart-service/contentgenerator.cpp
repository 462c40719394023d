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

namespace {

// A fixed pool of noise that every block is cut from: one load and one XOR
// per word keeps the generator at memory speed, far above what the socket
// can carry, so it never limits a benchmark.
constexpr std::size_t PoolWords = 512 * 1024; // 4 MiB

const std::uint64_t *noisePool()
{
    static const std::vector<std::uint64_t> pool = [] {
        std::vector<std::uint64_t> words(PoolWords);
        std::uint64_t s = 0x5eed5eed5eed5eedULL;
        for (std::uint64_t &w : words)
            w = splitmix(s++);
        return words;
    }();
    return pool.data();
}

} // namespace

// Each 64 KiB block takes its own slice of the pool and its own key, both
// derived from the seed and the block number, so a ranged read never has to
// replay the stream from byte 0 and no two files or blocks look alike.
void ContentGenerator::fill(std::uint64_t offset, char *out, std::size_t length) const
{
    const std::uint64_t *pool = noisePool();
    constexpr std::size_t blockWords = BlockSize / 8;
    while (length > 0) {
        const std::uint64_t block = offset / BlockSize;
        const std::size_t within = std::size_t(offset % BlockSize);
        const std::size_t n = std::min(length, BlockSize - within);
        const std::uint64_t key = splitmix(m_seed ^ splitmix(block + 1));
        const unsigned char *source = reinterpret_cast<const unsigned char *>(pool + key % (PoolWords - blockWords));
        if (within % 8 == 0 && n % 8 == 0) {
            const std::size_t first = within / 8;
            for (std::size_t i = 0; i < n / 8; ++i) {
                std::uint64_t word;
                std::memcpy(&word, source + (first + i) * 8, 8);
                word ^= key;
                std::memcpy(out + i * 8, &word, 8);
            }
        } else {
            unsigned char keyBytes[8];
            std::memcpy(keyBytes, &key, 8);
            for (std::size_t j = 0; j < n; ++j)
                out[j] = char(source[within + j] ^ keyBytes[(within + j) & 7]);
        }
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
