#include "core/fileext.h"

#include "core/tagtext.h"

#include <QSet>
#include <QStringList>

namespace {

qsizetype lastSeparator(const QString &name, qsizetype before)
{
    for (qsizetype i = before - 1; i >= 0; --i)
        if (name.at(i) == u'\\' || name.at(i) == u'/')
            return i;
    return -1;
}

QSet<quint32> codesOf(const char *list)
{
    QSet<quint32> out;
    for (const QString &e : QString::fromLatin1(list).split(u','))
        out.insert(ExtCode(e));
    return out;
}

} // namespace

QString ExtWithoutDot(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot < 0 || lastSeparator(fileName, fileName.size()) > dot)
        return {};
    if (dot == fileName.size() - 1)
        return QStringLiteral(".");
    return fileName.mid(dot + 1);
}

QString FileNameWithoutExt(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot < 0)
        return fileName.mid(lastSeparator(fileName, fileName.size()) + 1);
    const qsizetype sep = lastSeparator(fileName, dot);
    return fileName.mid(sep + 1, dot - sep - 1);
}

quint32 ExtCode(const QString &ext)
{
    const QString t = ext.toLower();
    quint32 code = 0;
    for (qsizetype i = 0; i < t.size() && i < 4; ++i) {
        const char16_t c = t.at(i).unicode();
        if (c >= 33 && c <= 8363)
            code = code * 256 + (c & 0xFF);
    }
    return code;
}

quint32 FileExtCode(const QString &ext)
{
    const QString t = TrimCtl(ext).toLower();
    return t.isEmpty() ? 0 : ExtCode(t);
}

QString ExtCodeText(quint32 code)
{
    if (code == ExtCode(QStringLiteral("sldp")))
        return QStringLiteral("sldprt");
    if (code == ExtCode(QStringLiteral("slda")))
        return QStringLiteral("sldasm");
    if (code == ExtCode(QStringLiteral("sldd")))
        return QStringLiteral("slddrw");
    if (code == ExtCode(QStringLiteral("shtm")))
        return QStringLiteral("shtml");
    QString out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const quint32 b = (code >> shift) & 0xFF;
        if (b >= 0x21 && b <= 0x7F)
            out += QChar(char16_t(b));
    }
    return out;
}

bool IsImageExt(quint32 code)
{
    static const QSet<quint32> codes = codesOf("bw,bmp,cel,cut,dib,fax,gif,icb,jpg,nef,pal,pbm,pcc,pcd,pcx,pdd,pgm,"
                                               "pic,png,ppm,psd,psp,ral,rgb,rle,rpf,sgi,src,tga,tif,vda,vst,win,"
                                               "jpeg,rgba,tiff");
    return codes.contains(code);
}

bool IsDrawingExt(quint32 code)
{
    static const QSet<quint32> codes = codesOf("asm,dwg,dxf,pcl,plt,prn,prt,easm,sldasm,slddrw,sldprt");
    return codes.contains(code);
}
