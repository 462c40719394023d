#pragma once

#include <QMetaType>
#include <QtGlobal>

// A 128-bit digest of the bytes the tool wrote to a file, to tell what the
// card gives back from what it was given. SHA-1 proves that the bytes are
// the service's; what is left to prove is that the card kept them. A card
// that loses, wraps or garbles data does not craft digests, and telling its
// bytes apart needs no cryptographic one: this one costs about a tenth of
// SHA-1's time, so the read-back no longer hashes every byte a second time
// with SHA-1 (on two cores that second pass was the biggest single cost of
// proving a 1 GiB product). Used by one thread at a time.
class ContentDigest
{
public:
    struct Value
    {
        quint64 low = 0;
        quint64 high = 0;
        bool known = false;

        friend bool operator==(const Value &a, const Value &b)
        {
            return a.known == b.known && a.low == b.low && a.high == b.high;
        }
        friend bool operator!=(const Value &a, const Value &b) { return !(a == b); }
    };

    ContentDigest();
    ~ContentDigest();
    Q_DISABLE_COPY_MOVE(ContentDigest)

    void reset();
    void update(const char *bytes, qint64 length);
    // Bytes fed since the last reset.
    qint64 length() const { return fed; }
    // The digest of what was fed so far; feeding may go on.
    Value value() const;

    // The digest of bytes in one piece.
    static Value of(const char *bytes, qint64 length);

private:
    // The hash's own state; its type is the hash's, named in the .cpp only.
    void *state;
    qint64 fed = 0;
};

Q_DECLARE_METATYPE(ContentDigest::Value)
