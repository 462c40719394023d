#include "card/sha1stream.h"

#include <openssl/evp.h>

Sha1Stream::Sha1Stream()
    : context(EVP_MD_CTX_new())
{
    reset();
}

Sha1Stream::~Sha1Stream()
{
    EVP_MD_CTX_free(context);
}

namespace {

// The digest's implementation, looked up once: EVP_sha1() has OpenSSL look
// it up among its providers at every start, once for each file.
const EVP_MD *sha1Method()
{
    static EVP_MD *const fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return fetched ? fetched : EVP_sha1();
}

} // namespace

void Sha1Stream::reset()
{
    EVP_DigestInit_ex(context, sha1Method(), nullptr);
    fed = 0;
}

void Sha1Stream::update(const char *bytes, qint64 length)
{
    if (length <= 0)
        return;
    EVP_DigestUpdate(context, bytes, size_t(length));
    fed += length;
}

QByteArray Sha1Stream::hexDigest() const
{
    // Finished on a copy, so the running digest can take more bytes.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, context) == 1 && EVP_DigestFinal_ex(copy, digest, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

bool Sha1Stream::sameDigest(const QByteArray &a, const QByteArray &b)
{
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}
