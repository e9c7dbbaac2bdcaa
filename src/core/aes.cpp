#include "core/aes.h"

#include "core/ansicodec.h"
#include "core/helpers.h"

// The block functions, not EVP: stored values are a few ECB blocks, and EVP's
// provider set-up would keep about 2 MiB of OpenSSL resident in a client that
// may never open a TLS connection.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/aes.h>
#include <openssl/crypto.h>

namespace {

QByteArray runEcb(const QByteArray &key, const QByteArray &data, bool encrypt)
{
    const qsizetype bits = key.size() * 8;
    if ((bits != 128 && bits != 192 && bits != 256) || data.isEmpty() || data.size() % AES_BLOCK_SIZE != 0)
        return {};
    AES_KEY schedule;
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    if ((encrypt ? AES_set_encrypt_key(k, int(bits), &schedule) : AES_set_decrypt_key(k, int(bits), &schedule)) != 0)
        return {};
    QByteArray out(data.size(), Qt::Uninitialized);
    const auto *in = reinterpret_cast<const unsigned char *>(data.constData());
    auto *to = reinterpret_cast<unsigned char *>(out.data());
    for (qsizetype at = 0; at < data.size(); at += AES_BLOCK_SIZE)
        AES_ecb_encrypt(in + at, to + at, &schedule, encrypt ? AES_ENCRYPT : AES_DECRYPT);
    OPENSSL_cleanse(&schedule, sizeof schedule);
    return out;
}

} // namespace

QByteArray TAES::KeyBytes(const QString &passphrase, int keySize)
{
    const int len = keySize == AKS_128 ? 16 : keySize == AKS_192 ? 24 : keySize == AKS_256 ? 32 : 0;
    if (len == 0)
        return {};
    QByteArray k = AnsiFromText(passphrase).left(len);
    k.append(len - k.size(), '\0');
    return k;
}

QByteArray TAES::EncryptBlocks(const QByteArray &key, const QByteArray &data)
{
    return runEcb(key, data, true);
}

QByteArray TAES::DecryptBlocks(const QByteArray &key, const QByteArray &data)
{
    return runEcb(key, data, false);
}

bool TAES::EncryptString_ASE_EX(const QString &plain, const QString &passphrase, QString &result, int keySize)
{
    result.clear();
    QByteArray p = AnsiFromText(plain);
    if (p.isEmpty())
        return true;
    const QByteArray key = KeyBytes(passphrase, keySize);
    if (key.isEmpty())
        return false;
    if (p.size() % 16)
        p.append(16 - p.size() % 16, '\0');
    const QByteArray c = EncryptBlocks(key, p);
    if (c.isEmpty())
        return false;
    result = QString::fromLatin1(c.toHex().toUpper());
    return true;
}

bool TAES::DecryptString_ASE_EX(const QString &cipher, const QString &passphrase, QString &result, int keySize)
{
    result.clear();
    QByteArray bytes;
    bytes.reserve(cipher.size() / 2);
    for (qsizetype i = 0; i + 1 < cipher.size(); i += 2) {
        const int hi = HexDigitValue(cipher.at(i));
        const int lo = HexDigitValue(cipher.at(i + 1));
        if (hi < 0 || lo < 0)
            return false;  // never produced by us; refuse rather than guess
        bytes += char(hi * 16 + lo);
    }
    bytes.truncate(bytes.size() - bytes.size() % 16);
    if (bytes.isEmpty())
        return true;
    const QByteArray key = KeyBytes(passphrase, keySize);
    if (key.isEmpty())
        return false;
    QByteArray p = DecryptBlocks(key, bytes);
    if (p.isEmpty())
        return false;
    while (!p.isEmpty() && p.back() == '\0')
        p.chop(1);
    result = AnsiToText(p);
    return true;
}

QString EncryptText(const QString &plain, const QString &passphrase, int keySize)
{
    QString r;
    TAES::EncryptString_ASE_EX(plain, passphrase, r, keySize);
    return r;
}

QString DecryptText(const QString &cipher, const QString &passphrase, int keySize)
{
    QString r;
    if (!TAES::DecryptString_ASE_EX(cipher, passphrase, r, keySize))
        return {};
    return r;
}

QString EncryptWithAppKey(const QString &plain, int keySize)
{
    return EncryptText(plain, kAppPassphrase, keySize);
}

QString DecryptWithAppKey(const QString &cipher, int keySize)
{
    return DecryptText(cipher, kAppPassphrase, keySize);
}
