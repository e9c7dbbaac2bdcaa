#include "tlscert.h"

#include "core/textfile.h"

#include <QFileInfo>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

namespace {
template <typename T, void (*Free)(T *)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(n));
}
} // namespace

bool ensureSelfSignedCertificate(const QString &certFile, const QString &keyFile, QString *error)
{
    if (QFileInfo::exists(certFile) && QFileInfo::exists(keyFile))
        return true;
    auto fail = [error](const QString &what) {
        if (error)
            *error = what;
        return false;
    };
    Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_RSA_gen(2048));
    Owned<X509, X509_free> cert(X509_new());
    if (!key || !cert)
        return fail(QStringLiteral("Cannot generate the TLS key"));
    X509_set_version(cert.get(), 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), long(serial[0] & 0x7f) << 24 | serial[1] << 16 | serial[2] << 8 | serial[3]);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("zudivuvo-server"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("ZuDivuvo"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return fail(QStringLiteral("Cannot sign the TLS certificate"));

    Owned<BIO, BIO_free_all> certBio(BIO_new(BIO_s_mem()));
    Owned<BIO, BIO_free_all> keyBio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_X509(certBio.get(), cert.get())
        || !PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        return fail(QStringLiteral("Cannot encode the TLS certificate"));
    QString writeError;
    if (!WriteFileAtomic(keyFile, bioBytes(keyBio.get()), &writeError, true)
        || !WriteFileAtomic(certFile, bioBytes(certBio.get()), &writeError))
        return fail(writeError);
    return true;
}
