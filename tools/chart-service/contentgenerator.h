#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// File contents of the catalogue are never stored: every byte is a pure
// function of a key (the file's identity) and its offset, so a product of
// gigabytes costs nothing on disk and any range can be produced in time
// proportional to its length.
class ContentGenerator
{
public:
    static constexpr std::size_t BlockSize = 64 * 1024;

    explicit ContentGenerator(const QString &key);
    explicit ContentGenerator(std::uint64_t seed);

    static std::uint64_t hashKey(const QByteArray &key);

    // Writes the bytes [offset, offset + length) of the stream into out.
    void fill(std::uint64_t offset, char *out, std::size_t length) const;
    QByteArray bytes(std::uint64_t offset, std::size_t length) const;

    // SHA-1 (lower-case hex) of the first size bytes.
    QByteArray sha1Hex(std::uint64_t size) const;

    std::uint64_t seed() const { return m_seed; }

private:
    void fillBlock(std::uint64_t block, std::uint64_t *words) const;

    std::uint64_t m_seed;
};
