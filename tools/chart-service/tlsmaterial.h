#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

// The keys and certificates of the service's HTTPS ports, made afresh at
// every start: a throw-away certificate authority, a server certificate for
// the loopback names signed by it, and one for a name the loopback address
// never answers to, so a client can be shown to refuse it while trusting
// the authority. Nothing is ever read from or shared with the system's
// trust store; only the authority's certificate leaves the process (as a
// PEM file a client can be told to trust).
class TlsMaterial
{
public:
    TlsMaterial();
    ~TlsMaterial();
    Q_DISABLE_COPY_MOVE(TlsMaterial)

    // False with a reason when OpenSSL refuses any step.
    bool create(QString *error);
    bool writeAuthority(const QString &path, QString *error) const;
    // The server's certificate and key, for a front server (the bench's
    // HTTP/2 proxy) that answers for this service with the same trust.
    bool writeServer(const QString &certificatePath, const QString &keyPath, QString *error) const;
    QByteArray authorityPem() const;

    // Owned here; the HTTPS servers take references of their own.
    X509 *serverCertificate() const { return m_server.get(); }
    X509 *wrongNameCertificate() const { return m_wrongName.get(); }
    EVP_PKEY *serverKey() const { return m_serverKey.get(); }

    // The one name the wrong-name certificate is issued for.
    static QString wrongName();

private:
    static bool writePem(const QString &path, const QByteArray &pem, QString *error);

    struct X509Free { void operator()(X509 *x) const; };
    struct KeyFree { void operator()(EVP_PKEY *k) const; };

    std::unique_ptr<EVP_PKEY, KeyFree> m_authorityKey;
    std::unique_ptr<X509, X509Free> m_authority;
    std::unique_ptr<EVP_PKEY, KeyFree> m_serverKey;
    std::unique_ptr<X509, X509Free> m_server;
    std::unique_ptr<X509, X509Free> m_wrongName;
};
