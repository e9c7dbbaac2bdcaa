#pragma once
// Protected strings: AES in ECB mode over the text's ANSI bytes, zero padding,
// the passphrase's ANSI bytes cut or zero-filled to the key, upper-case hex out.
// The server and its web pages produce and read the same form.
#include <QByteArray>
#include <QString>

enum TAesKeySize { AKS_128 = 1, AKS_192 = 2, AKS_256 = 3 };

inline const QString kAppPassphrase = QStringLiteral("qx7731_mnbz");

class TAES
{
public:
    static bool EncryptString_ASE_EX(const QString &plain, const QString &passphrase, QString &result, int keySize);
    static bool DecryptString_ASE_EX(const QString &cipher, const QString &passphrase, QString &result, int keySize);

    // Raw block operations; data must be a whole number of 16-byte blocks.
    static QByteArray EncryptBlocks(const QByteArray &key, const QByteArray &data);
    static QByteArray DecryptBlocks(const QByteArray &key, const QByteArray &data);
    static QByteArray KeyBytes(const QString &passphrase, int keySize);
};

QString EncryptText(const QString &plain, const QString &passphrase, int keySize);
QString DecryptText(const QString &cipher, const QString &passphrase, int keySize);
QString EncryptWithAppKey(const QString &plain, int keySize);
QString DecryptWithAppKey(const QString &cipher, int keySize);
