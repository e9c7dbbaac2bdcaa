#include "preview/viewerchoice.h"

#include "core/fileext.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"
#include "preview/officeconverter.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

namespace {

quint32 code(const char *ext)
{
    return ExtCode(QLatin1String(ext));
}

QSet<quint32> codes(std::initializer_list<const char *> exts)
{
    QSet<quint32> out;
    for (const char *e : exts)
        out.insert(code(e));
    return out;
}

const QSet<quint32> &officeSet()
{
    static const QSet<quint32> s = codes({"doc", "xls", "ppt", "docx", "dotx", "xlsx", "xlsm", "pptx"});
    return s;
}
const QSet<quint32> &set1()
{
    static const QSet<quint32> s = codes({"docx", "dotx", "xlsx", "xlsm", "pptx", "vsdx", "mppx"});
    return s;
}
const QSet<quint32> &set2()
{
    static const QSet<quint32> s = codes({"doc", "xls", "ppt", "rtf", "docx", "dotx", "xlsx", "xlsm", "pptx", "pdf", "ai",
                                          "vsd", "pps", "mpp", "mppx"});
    return s;
}
// The own-viewer list, and what our viewers here add to it: CorelDRAW and
// vsdx through LibreOffice, pictures and plain text.
bool inOwnList(const QString &ext, quint32 c)
{
    static const QStringList own{QStringLiteral("wps"), QStringLiteral("et"),  QStringLiteral("dps"),
                                 QStringLiteral("mht"), QStringLiteral("eml"), QStringLiteral("rtf"),
                                 QStringLiteral("ceb"), QStringLiteral("exb"), QStringLiteral("sep"),
                                 QStringLiteral("gd"),  QStringLiteral("gw"),  QStringLiteral("ifr"),
                                 QStringLiteral("chm"), QStringLiteral("kdh"), QStringLiteral("caj"),
                                 QStringLiteral("gwd"), QStringLiteral("cdr"), QStringLiteral("vsdx")};
    return own.contains(ext) || IsImageType(c) || IsTextType(c);
}

int officeKind(quint32 c)
{
    if (c == code("doc") || c == code("docx") || c == code("dotx"))
        return 1;
    if (c == code("xls") || c == code("xlsx") || c == code("xlsm"))
        return 2;
    return 3;
}

} // namespace

bool IsImageType(quint32 c)
{
    static const QSet<quint32> s = codes({"png", "jpg", "jpeg", "jpe", "gif", "bmp", "tif", "tiff", "webp", "ico", "pbm",
                                          "pgm", "ppm", "xbm", "xpm"});
    return s.contains(c);
}

bool IsTextType(quint32 c)
{
    static const QSet<quint32> s = codes({"txt", "log", "csv", "ini", "md", "json", "xml", "conf", "text"});
    return s.contains(c);
}

bool IsSafeHashPs(const QString &token)
{
    // The token goes into the download request's tag text, where a bracket
    // would close its tag and open others ("[IsPreView]False").
    return !token.contains(u'[') && !token.contains(u']') && !token.contains(u'\r') && !token.contains(u'\n');
}

TPreviewOptions TPreviewOptions::Parse(const QString &o)
{
    TPreviewOptions p;
    const QString hashMarker = QStringLiteral("HashPs=");
    const qsizetype h = o.indexOf(hashMarker);
    if (h >= 0) {
        const qsizetype start = h + hashMarker.size();
        const qsizetype comma = o.indexOf(u',', start);
        if (comma >= 0)
            p.FHashPs = o.mid(start, comma - start);
    }
    if (!IsSafeHashPs(p.FHashPs))
        p.FHashPs.clear();
    p.FDocReadonly = !o.contains(QLatin1String("Readonly=False"));
    p.FCanPrint = o.contains(QLatin1String("CanPrint=True"));
    p.FIsCheckVirtualPrint = !o.contains(QLatin1String("CheckVirtualPrint=False"));
    p.FSelectPrinter = o.contains(QLatin1String("SelectPrinter=True")) || !p.FDocReadonly;
    p.FCanCopy = o.contains(QLatin1String("CtrlC=True"));
    return p;
}

TPreviewRequest TPreviewRequest::Parse(const QString &cmd)
{
    TPreviewRequest r;
    r.Key = StrToInt64Def(GetTagValue(cmd, QStringLiteral("filekey")), 0);
    r.Version = StrToInt64Def(GetTagValue(cmd, QStringLiteral("filever")), -1);
    if (r.Version < -1)
        r.Version = -1;
    r.Name = GetTagValue(cmd, QStringLiteral("filename"));
    r.Options = GetTagValue(cmd, QStringLiteral("ctparams"));
    // A name carrying its own "[/filename][ctparams]..." would put its options
    // first: a command with more than one name or option text gets none, and so
    // the strictest permissions.
    if (cmd.count(QLatin1String("[filename]"), Qt::CaseInsensitive) > 1
        || cmd.count(QLatin1String("[ctparams]"), Qt::CaseInsensitive) > 1)
        r.Options.clear();
    r.SetName(r.Name);
    return r;
}

void TPreviewRequest::SetName(const QString &name)
{
    Name = name;
    // The type comes from the last dot of the name's last element only.
    Ext = ExtWithoutDot(Name).toLower();
    if (Ext == QLatin1String("."))
        Ext.clear();
    bool digitsOnly = !Ext.isEmpty();
    for (QChar ch : std::as_const(Ext))
        digitsOnly = digitsOnly && ch >= u'0' && ch <= u'9';
    if (digitsOnly && Name.contains(QLatin1String(".asm")))
        Code = code("asm");
    else if (digitsOnly && Name.contains(QLatin1String(".prt")))
        Code = code("prt");
    else
        Code = FileExtCode(Ext);
}

QString TLocalSoftwareProbe::OfficeVersion(int) const
{
    return CanConvert() ? QStringLiteral("V16") : QStringLiteral("VNotExists");
}

bool TLocalSoftwareProbe::CanConvert() const
{
    return !TOfficeConverter::FindSoffice().isEmpty();
}

QString TLocalSoftwareProbe::HelpViewer() const
{
    for (const char *p : {"xchm", "kchmviewer", "okular"}) {
        const QString found = QStandardPaths::findExecutable(QLatin1String(p));
        if (!found.isEmpty())
            return found;
    }
    return {};
}

int ChooseViewer(const TPreviewRequest &r, const TSoftwareProbe &probe, const QString &relationFile,
                 const TViewerAsker &ask)
{
    const quint32 c = r.Code;
    if (officeSet().contains(c)) {
        const QString v = probe.OfficeVersion(officeKind(c));
        if (QString::compare(v, QLatin1String("V12")) >= 0
            || (!v.isEmpty() && (c == code("doc") || c == code("xls") || c == code("ppt"))))
            return VC_Own;
    }
    if ((r.Ext == QLatin1String("pdf") || r.Ext == QLatin1String("ai")) && probe.PdfControlKind() > 0)
        return VC_Own;
    if (inOwnList(r.Ext, c))
        return VC_Own;

    QList<int> usable;
    QString w;
    if (probe.AutoVue(&w)) {
        if (w.isEmpty() && set2().contains(c))
            return VC_Own;
        if (QString::compare(w, QLatin1String("20.0.0.0000"), Qt::CaseInsensitive) < 0 && set1().contains(c))
            return VC_Own;
        usable << VC_AutoVue;
    }
    if (probe.EDrawings() && IsDrawingExt(c))
        usable << VC_EDrawings;
    if (c == code("dwg") && probe.Caxa())
        usable << VC_Caxa;

    if (usable.size() >= 2) {
        const QString relations = ReadTextFile(relationFile);
        const int remembered = StrToIntDef(GetTagValue(relations, r.Ext), 0);
        if (remembered >= 1 && remembered <= 4)
            return remembered;
        bool always = false;
        const int style = ask ? ask(usable, &always) : 0;
        if (always && !r.Ext.isEmpty()) {
            const QString text = relations + u'[' + r.Ext + u']' + QString::number(style) + QStringLiteral("[/") + r.Ext
                                 + QStringLiteral("]\r\n");
            QDir().mkpath(QFileInfo(relationFile).absolutePath());
            WriteUnicodeTextFile(relationFile, text);
        }
        return style == VC_EDrawings ? VC_EDrawings : style == VC_Caxa ? VC_Caxa : VC_AutoVue;
    }
    if (usable.size() == 1)
        return usable.first();
    return set2().contains(c) ? VC_Own : VC_None;
}

TViewerKind PickViewer(quint32 c, int pdfControlKind)
{
    struct Row {
        std::initializer_list<const char *> exts;
        TViewerKind kind;
    };
    static const Row rows[] = {
        {{"et", "doc", "dps", "pps", "ppt", "wps", "xls", "docx", "dotx", "pptx", "xlsm", "xlsx"}, TViewerKind::Office},
        {{"vsd", "vsdx"}, TViewerKind::Vsd},
        {{"mpp", "mppx"}, TViewerKind::Mpp},
        {{"ai"}, TViewerKind::Pdf},
        {{"ceb"}, TViewerKind::Ceb},
        {{"cdr"}, TViewerKind::Cdr},
        {{"gwd"}, TViewerKind::Gwd},
        {{"exb", "dwg"}, TViewerKind::Exb},
        {{"rtf"}, TViewerKind::Rtf},
        {{"mht"}, TViewerKind::Mht},
        {{"eml"}, TViewerKind::Eml},
        {{"caj", "kdh"}, TViewerKind::Caj},
        {{"gd", "gw", "ifr", "sep"}, TViewerKind::Sursen},
        {{"chm"}, TViewerKind::Chm},
    };
    if (c == code("pdf"))
        return pdfControlKind == 3 ? TViewerKind::Sursen : pdfControlKind == 2 ? TViewerKind::Foxit : TViewerKind::Pdf;
    for (const Row &row : rows)
        for (const char *e : row.exts)
            if (c == code(e))
                return row.kind;
    if (IsImageType(c))
        return TViewerKind::Image;
    if (IsTextType(c))
        return TViewerKind::Text;
    return TViewerKind::None;
}

TViewerRoute RouteOf(TViewerKind kind, const TSoftwareProbe &probe)
{
    switch (kind) {
    case TViewerKind::Pdf:
    case TViewerKind::Foxit:
        return TViewerRoute::PdfView;
    case TViewerKind::Office:
    case TViewerKind::Vsd:
    case TViewerKind::Cdr:
    case TViewerKind::Rtf:
        return probe.CanConvert() ? TViewerRoute::Convert : TViewerRoute::WebPage;
    case TViewerKind::Image:
        return TViewerRoute::Image;
    case TViewerKind::Text:
        return TViewerRoute::Text;
    case TViewerKind::Mht:
        return TViewerRoute::Mht;
    case TViewerKind::Eml:
        return TViewerRoute::Eml;
    case TViewerKind::Chm:
        return probe.HelpViewer().isEmpty() ? TViewerRoute::WebPage : TViewerRoute::HelpViewer;
    default:
        // Project, CEB, CAJ, GWD, CAXA and the Sursen formats have no reader here.
        return TViewerRoute::WebPage;
    }
}

bool ShowsInClient(const QString &fileName, const TSoftwareProbe &probe)
{
    TPreviewRequest r;
    r.SetName(fileName);
    // No question here: a type that would need one is left to the command.
    if (ChooseViewer(r, probe, QString(), {}) != VC_Own)
        return false;
    const TViewerKind kind = PickViewer(r.Code, probe.PdfControlKind());
    if (kind == TViewerKind::None)
        return false;
    const TViewerRoute route = RouteOf(kind, probe);
    return route != TViewerRoute::WebPage && route != TViewerRoute::HelpViewer;
}
