#pragma once

#include <QByteArray>
#include <QtGlobal>

struct evp_md_ctx_st;

// A SHA-1 digest that grows with the bytes fed to it, so a file written in
// chunks is verified without reading it back. Used by one thread at a time.
class Sha1Stream
{
public:
    Sha1Stream();
    ~Sha1Stream();
    Q_DISABLE_COPY_MOVE(Sha1Stream)

    void reset();
    void update(const char *bytes, qint64 length);
    // Bytes fed since the last reset.
    qint64 length() const { return fed; }
    // Lower-case hexadecimal digest of what was fed so far; feeding may go on.
    QByteArray hexDigest() const;

    // Digests are compared as numbers: the service's hexadecimal text may
    // come in either case.
    static bool sameDigest(const QByteArray &a, const QByteArray &b);

private:
    evp_md_ctx_st *context;
    qint64 fed = 0;
};
