#include "core/aes.h"

#include "core/ansicodec.h"
#include "core/helpers.h"

#include <openssl/evp.h>
#include <memory>

namespace {

const EVP_CIPHER *cipherFor(qsizetype keyLen)
{
    switch (keyLen) {
    case 16: return EVP_aes_128_ecb();
    case 24: return EVP_aes_192_ecb();
    case 32: return EVP_aes_256_ecb();
    default: return nullptr;
    }
}

QByteArray runEcb(const QByteArray &key, const QByteArray &data, bool encrypt)
{
    const EVP_CIPHER *c = cipherFor(key.size());
    if (!c || data.isEmpty() || data.size() % 16 != 0)
        return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx)
        return {};
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    if (EVP_CipherInit_ex(ctx.get(), c, nullptr, k, nullptr, encrypt ? 1 : 0) != 1)
        return {};
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    QByteArray out(data.size() + 16, Qt::Uninitialized);
    int n1 = 0;
    int n2 = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &n1,
                         reinterpret_cast<const unsigned char *>(data.constData()), int(data.size()))
            != 1
        || EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()) + n1, &n2) != 1)
        return {};
    out.truncate(n1 + n2);
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
