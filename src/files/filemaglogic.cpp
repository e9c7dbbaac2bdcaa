#include "files/filemaglogic.h"

#include "model/fileoperator.h"
#include "net/webendpoints.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {
const QSet<QString> &handOffExts()
{
    static const QSet<QString> exts{
        QStringLiteral("mpp"), QStringLiteral("mppx"), QStringLiteral("csv"), QStringLiteral("xlsm"),
        QStringLiteral("ceb"), QStringLiteral("mht"), QStringLiteral("eml"), QStringLiteral("prt"),
        QStringLiteral("prn"), QStringLiteral("pcb"), QStringLiteral("dxp"), QStringLiteral("rep"),
        QStringLiteral("slddrw"), QStringLiteral("sldasm"), QStringLiteral("sldprt"), QStringLiteral("eps"),
        QStringLiteral("ddb"), QStringLiteral("rtf"), QStringLiteral("ecb"), QStringLiteral("exb"),
        QStringLiteral("sep"), QStringLiteral("gd"), QStringLiteral("gw"), QStringLiteral("ifr"),
        QStringLiteral("chm"), QStringLiteral("kdh"), QStringLiteral("caj"), QStringLiteral("gwd")};
    return exts;
}

QString withoutTrailingSeparator(QString p)
{
    while (p.size() > 1 && (p.endsWith(u'/') || p.endsWith(u'\\')))
        p.chop(1);
    return p;
}
} // namespace

bool IsHandOffPreviewExt(const QString &ext)
{
    return handOffExts().contains(ext);
}

TPreviewRoute PreviewRoute(qint64 fileKey, const QString &fileName, const QString &baseUrl, const QString &encryptId,
                           bool shownInClient)
{
    TPreviewRoute r;
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString ext = dot < 0 ? QString() : fileName.mid(dot + 1);
    const bool injectable = fileName.contains(u'[') || fileName.contains(u']');
    if ((IsHandOffPreviewExt(ext) || shownInClient) && !injectable) {
        r.HandOff = true;
        r.Cmd.Code = 13;
        r.Cmd.Cmd = QStringLiteral("[filekey]") + QString::number(fileKey)
                       + QStringLiteral("[/filekey][filever]-1[/filever][filename]") + fileName
                       + QStringLiteral("[/filename][ctparams]Readonly=True,CanPrint=False[/ctparams]");
    } else {
        r.Url = WebEndpoints::PreviewOpen(baseUrl, fileKey, encryptId);
    }
    return r;
}

QStringList OrderDroppedPaths(const QStringList &paths)
{
    QStringList out;
    for (const QString &p : paths) {
        if (QFileInfo(p).isDir())
            out.prepend(p);
        else
            out.append(p);
    }
    return out;
}

QString DropQuestion(const TFileMagTexts &texts, const QStringList &paths)
{
    QString q = texts.WLS_UploadFF;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (i == 10) {
            q += QStringLiteral("\r\n  ......");
            break;
        }
        q += QStringLiteral("\r\n  ") + paths.at(i);
    }
    return q;
}

QString DropSourceFolder(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    const QString first = withoutTrailingSeparator(QDir::fromNativeSeparators(paths.first()));
    const qsizetype cut = first.lastIndexOf(u'/');
    return cut < 0 ? QString() : first.left(cut + 1);
}

QStringList ExpandDroppedFolders(const QStringList &paths)
{
    QStringList out;
    for (const QString &p : paths) {
        if (QFileInfo(p).isDir())
            out += ListAllFiles(withoutTrailingSeparator(p), true, QString());
        else
            out.append(p);
    }
    return out;
}
