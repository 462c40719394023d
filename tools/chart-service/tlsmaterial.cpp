#include "tlsmaterial.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

// Long enough for a benchmark or a day of demos; never renewed, never
// trusted beyond the clients that are handed the authority's file.
constexpr long ValiditySeconds = 30L * 24 * 3600;

QString openSslError(const char *step)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QStringLiteral("%1: %2").arg(QLatin1String(step), QString::fromLatin1(text));
}

// P-256: generated in microseconds, so a start-up stays quick, and accepted
// by every client the tool is compared with.
EVP_PKEY *newKey()
{
    return EVP_EC_gen("P-256");
}

bool addExtension(X509 *certificate, X509V3_CTX *context, int nid, const char *value)
{
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A version-3 certificate for subjectKey; issued by issuer/issuerKey, or
// self-signed when issuer is null. altNames empty: an authority.
X509 *issue(const QString &commonName, EVP_PKEY *subjectKey, X509 *issuer, EVP_PKEY *issuerKey,
            const QString &altNames, QString *error)
{
    X509 *certificate = X509_new();
    BIGNUM *serial = BN_new();
    bool ok = certificate && serial && X509_set_version(certificate, 2) == 1
              && BN_rand(serial, 120, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1
              && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate))
              && X509_gmtime_adj(X509_getm_notBefore(certificate), -3600)
              && X509_gmtime_adj(X509_getm_notAfter(certificate), ValiditySeconds)
              && X509_set_pubkey(certificate, subjectKey) == 1;
    BN_free(serial);
    if (ok) {
        X509_NAME *name = X509_get_subject_name(certificate);
        const QByteArray cn = commonName.toUtf8();
        ok = X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char *>("Quorvel local chart service"), -1, -1, 0)
                 == 1
             && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char *>(cn.constData()), -1, -1, 0)
                    == 1
             && X509_set_issuer_name(certificate, issuer ? X509_get_subject_name(issuer) : name) == 1;
    }
    if (ok) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer ? issuer : certificate, certificate, nullptr, nullptr, 0);
        const bool authority = altNames.isEmpty();
        ok = addExtension(certificate, &context, NID_basic_constraints, authority ? "critical,CA:TRUE" : "critical,CA:FALSE")
             && addExtension(certificate, &context, NID_key_usage,
                             authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature")
             && addExtension(certificate, &context, NID_subject_key_identifier, "hash");
        if (ok && !authority) {
            ok = addExtension(certificate, &context, NID_authority_key_identifier, "keyid:always")
                 && addExtension(certificate, &context, NID_ext_key_usage, "serverAuth")
                 && addExtension(certificate, &context, NID_subject_alt_name, altNames.toLatin1().constData());
        }
    }
    ok = ok && X509_sign(certificate, issuerKey, EVP_sha256()) > 0;
    if (!ok) {
        *error = openSslError("cannot make a certificate");
        X509_free(certificate);
        return nullptr;
    }
    return certificate;
}

} // namespace

void TlsMaterial::X509Free::operator()(X509 *x) const
{
    X509_free(x);
}

void TlsMaterial::KeyFree::operator()(EVP_PKEY *k) const
{
    EVP_PKEY_free(k);
}

TlsMaterial::TlsMaterial() = default;
TlsMaterial::~TlsMaterial() = default;

QString TlsMaterial::wrongName()
{
    return QStringLiteral("wrong-name.quorvel.test");
}

bool TlsMaterial::create(QString *error)
{
    m_authorityKey.reset(newKey());
    m_serverKey.reset(newKey());
    if (!m_authorityKey || !m_serverKey) {
        *error = openSslError("cannot make a key");
        return false;
    }
    m_authority.reset(issue(QStringLiteral("Quorvel local test authority"), m_authorityKey.get(), nullptr,
                            m_authorityKey.get(), QString(), error));
    if (!m_authority)
        return false;
    m_server.reset(issue(QStringLiteral("localhost"), m_serverKey.get(), m_authority.get(), m_authorityKey.get(),
                         QStringLiteral("IP:127.0.0.1,DNS:localhost"), error));
    m_wrongName.reset(issue(wrongName(), m_serverKey.get(), m_authority.get(), m_authorityKey.get(),
                            QStringLiteral("DNS:") + wrongName(), error));
    return m_server && m_wrongName;
}

QByteArray TlsMaterial::authorityPem() const
{
    BIO *bio = BIO_new(BIO_s_mem());
    if (!bio)
        return QByteArray();
    QByteArray pem;
    if (PEM_write_bio_X509(bio, m_authority.get()) == 1) {
        char *data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        pem = QByteArray(data, int(length));
    }
    BIO_free(bio);
    return pem;
}

bool TlsMaterial::writePem(const QString &path, const QByteArray &pem, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (pem.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(pem) != pem.size() || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, pem.isEmpty() ? QStringLiteral("nothing to write") : file.errorString());
        return false;
    }
    return true;
}

bool TlsMaterial::writeAuthority(const QString &path, QString *error) const
{
    return writePem(path, authorityPem(), error);
}

bool TlsMaterial::writeServer(const QString &certificatePath, const QString &keyPath, QString *error) const
{
    const auto pemOf = [](const auto &write) {
        QByteArray pem;
        BIO *bio = BIO_new(BIO_s_mem());
        if (bio && write(bio) == 1) {
            char *data = nullptr;
            const long length = BIO_get_mem_data(bio, &data);
            pem = QByteArray(data, int(length));
        }
        BIO_free(bio);
        return pem;
    };
    const QByteArray certificate = pemOf([this](BIO *bio) { return PEM_write_bio_X509(bio, m_server.get()); });
    const QByteArray key = pemOf([this](BIO *bio) {
        return PEM_write_bio_PrivateKey(bio, m_serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    return writePem(certificatePath, certificate, error) && writePem(keyPath, key, error);
}
