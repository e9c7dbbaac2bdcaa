#include "net/webendpoints.h"

#include "core/aes.h"
#include "core/helpers.h"
#include "core/wiredate.h"

#include <QRandomGenerator>
#include <QUrl>

namespace {

int randomBelow(int n)
{
    return int(QRandomGenerator::global()->bounded(n));
}

} // namespace

QString WebTicketText(int random, const QString &encryptId, const QString &localTime)
{
    return QStringLiteral("[R]%1[/R][U]").arg(random) + encryptId + QLatin1String("[/U][Dt]") + localTime
           + QLatin1String("[/Dt]");
}

QString WebTicket(const QString &encryptId)
{
    return EncryptWithAppKey(WebTicketText(randomBelow(1000), encryptId, FormatWireDateTime(NowDateTime())), AKS_128);
}

QString UrlEncodeValue(const QString &value)
{
    static const QString specials = QStringLiteral("*<>#%\"{}|\\^[]`");
    QString out;
    const qsizetype n = value.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = value.at(i);
        if (c == u'%' && i + 2 < n && HexDigitValue(value.at(i + 1)) >= 0 && HexDigitValue(value.at(i + 2)) >= 0) {
            out += value.mid(i, 3);
            i += 2;
            continue;
        }
        if (c.unicode() <= 32 || c.unicode() >= 128 || specials.contains(c)) {
            qsizetype len = 1;
            if (c.isHighSurrogate() && i + 1 < n && value.at(i + 1).isLowSurrogate())
                len = 2;
            for (char b : value.mid(i, len).toUtf8())
                out += QStringLiteral("%%1").arg(uchar(b), 2, 16, QLatin1Char('0')).toUpper();
            i += len - 1;
            continue;
        }
        out += c;
    }
    return out;
}

QString UrlEncodeComponent(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

namespace WebEndpoints {

QString QrConfig(const QString &base) { return base + QLatin1String("/QRLogin?opr=config"); }
QString QrUrl(const QString &base) { return base + QLatin1String("/QRLogin?opr=url"); }
QString SecurityClasses(const QString &base, qint64 userId)
{
    return base + QLatin1String("/user?opr=sc&userid=") + QString::number(userId);
}
QString ClientConfig(const QString &base, qint64 userId)
{
    return base + QLatin1String("/linkX?opr=clientconfig&userid=") + QString::number(userId);
}
QString Logo(const QString &base, bool chinese)
{
    return base + (chinese ? QLatin1String("/static/clientLogo2.png") : QLatin1String("/static/clientLogo_ENG2.png"));
}
QString Home(const QString &base, const QString &encryptId)
{
    return base + QLatin1String("/index?opr=fromclient&sn=") + WebTicket(encryptId);
}
QString Doc(const QString &base) { return base + QLatin1String("/doc"); }
QString PreviewOpen(const QString &base, qint64 fileKey, const QString &encryptId)
{
    return base + QLatin1String("/previewopen?st=c&extopr=core&filekey=") + QString::number(fileKey)
           + QLatin1String("&uid=") + WebTicket(encryptId) + QLatin1String("&c=2");
}
QString FolderAdd(const QString &base, const QString &encryptId, qint64 ownerId, qint64 fatherId, const QString &name)
{
    return base + QLatin1String("/folderadd?opr=new&st=c&uid=") + WebTicket(encryptId) + QLatin1String("&ownerid=")
           + QString::number(ownerId) + QLatin1String("&fatherid=") + QString::number(fatherId)
           + QLatin1String("&foldername=") + UrlEncodeComponent(name) + QLatin1String("&rnd=")
           + QString::number(randomBelow(10000));
}
QString FolderRename(const QString &base, const QString &encryptId, qint64 ownerId, qint64 folderId,
                     const QString &name)
{
    return base + QLatin1String("/folderrename?opr=rename&st=c&uid=") + WebTicket(encryptId)
           + QLatin1String("&ownerid=") + QString::number(ownerId) + QLatin1String("&folderid=")
           + QString::number(folderId) + QLatin1String("&foldername=") + UrlEncodeComponent(name)
           + QLatin1String("&rnd=") + QString::number(randomBelow(10000));
}
QString GetPower(const QString &base, qint64 fileKey, const QString &encryptId)
{
    return base + QLatin1String("/getPower?filekey=") + QString::number(fileKey) + QLatin1String("&uid=") + encryptId;
}
QString PrintPage(const QString &base) { return base + QLatin1String("/getPrtHtm?opr=page"); }

QString PasswordChangeText(const QString &oldPassword, const QString &newPassword)
{
    // The closing tag's lower-case "ps" is what the server has always been sent; it reads tags ignoring case.
    return QLatin1String("[OldPs]") + oldPassword + QLatin1String("[/OldPs][NewPs]") + newPassword
           + QLatin1String("[/Newps]");
}
QString ModifyPassword(const QString &base, qint64 ownerId2, const QString &oldPassword, const QString &newPassword)
{
    const QString id = QString::number(ownerId2);
    return base + QLatin1String("/modifypass?opr=clientmps&userid=") + id + QLatin1String("&ps=")
           + EncryptText(PasswordChangeText(oldPassword, newPassword), id + kAppPassphrase, AKS_256);
}
QString ArchiveLinkText(qint64 fileKey, qint64 archiveId, qint64 ownerId2)
{
    return QStringLiteral("[filekey]%1[/filekey][arcid]%2[/arcid][uid]%3[/uid]").arg(fileKey).arg(archiveId).arg(ownerId2);
}
QString ArchiveLink(const QString &base, qint64 fileKey, qint64 archiveId, qint64 ownerId2)
{
    return base + QLatin1String("/arc/input2?opr=addfilekey&sn=")
           + EncryptWithAppKey(ArchiveLinkText(fileKey, archiveId, ownerId2), AKS_256);
}
QString Watermark(const QString &base) { return base + QLatin1String("/static/watermark.bmp"); }
QString ViewerHelper(const QString &base) { return base + QLatin1String("/helper/ReDazEdaver.exe"); }

} // namespace WebEndpoints
