#include "model/showfiles.h"

#include "core/fileext.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "model/boundedxml.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"

#include <QHash>

namespace {
const QHash<QString, int> &iconTable()
{
    static const QHash<QString, int> table = [] {
        const QList<std::pair<int, const char *>> classes{
            {1, "bak txt"}, {2, "htm xml html shtm"}, {3, "mht"}, {4, "doc docx"}, {5, "xls xlsx"},
            {6, "ppt pptx"}, {7, "wps"}, {8, "et"}, {9, "dps"}, {10, "pdf"}, {11, "pas"}, {12, "dfm"},
            {13, "7z rar"}, {14, "zip"}, {15, "vb bas"}, {16, "php"}, {17, "h"}, {18, "c"}, {19, "js"},
            {20, "css"}, {21, "cpp"}, {22, "asp"}, {23, "cs"}, {24, "aspx"}, {25, "java"}, {26, "vsd vsdx"},
            {27, "bmp dib rle"}, {28, "gif"}, {29, "jpg jpeg"}, {30, "png"}, {31, "tif tiff"}, {32, "cel pic"},
            {33, "icb tga vda vst win"}, {34, "src"}, {35, "pcc pcx"}, {36, "pcd"}, {37, "pbm pgm ppm"},
            {38, "cut pal"}, {39, "ral rpf"}, {40, "pdd psd psp"}, {41, "flv"}, {42, "exe"}, {43, "dll ocx"},
            {44, "pcb"}, {45, "prt"}, {46, "ai"}, {47, "eps"}, {48, "cdr"}, {49, "dwg dxf"}, {50, "chm"},
            {51, "ked"}, {52, "mp3"}, {53, "mp4"}, {54, "avi"}, {55, "mpeg"}, {56, "mpg"}, {57, "rm mp2v rmvb"},
            {58, "au mid rmi snd wav wma"}, {59, "exb"}, {60, "eml"}};
        QHash<QString, int> t;
        for (const auto &[cls, exts] : classes)
            for (const QString &e : QString::fromLatin1(exts).split(u' '))
                t.insert(e, cls);
        return t;
    }();
    return table;
}

const QHash<quint32, int> &viewIconTable()
{
    static const QHash<quint32, int> table = [] {
        const QList<std::pair<int, const char *>> classes{
            {2, "txt bak"}, {3, "htm html xml shtm mht"}, {4, "doc docx"}, {5, "xls xlsx"}, {6, "ppt pptx"},
            {7, "vsd vsdx"}, {8, "pdf"}, {9, "pas"}, {10, "vb bas"}, {11, "cs"}, {12, "aspx"}, {13, "asp"},
            {14, "java"}, {15, "h"}, {16, "c"}, {17, "cpp"}, {18, "php"}, {19, "js"}, {20, "css"}, {21, "bmp"},
            {22, "gif"}, {23, "jpg"}, {24, "rar"}, {25, "zip"}};
        QHash<quint32, int> t;
        for (const auto &[cls, exts] : classes)
            for (const QString &e : QString::fromLatin1(exts).split(u' '))
                t.insert(ExtCode(e), cls);
        return t;
    }();
    return table;
}

bool isTrueFlag(QStringView s)
{
    return s.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0 || s == u"1";
}
} // namespace

int FileIconClass(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot < 0)
        return 0;
    const QString ext = fileName.mid(dot + 1).left(4).toLower();
    return iconTable().value(ext, 0);
}

int FileViewIconClass(quint32 kind)
{
    return viewIconTable().value(kind, 26);
}

QString SizeKBText(qint64 bytes)
{
    return QString::number(qMax<qint64>(0, bytes) / 1024 + 1);
}

std::vector<TFileRow> ParseFolderListLines(const QString &reply)
{
    // Lines end in CR LF, LF or a bare CR; empty lines are skipped, so every CR and LF
    // can end one. Their count bounds the rows: reserving it costs address space only,
    // and the rows never move into a second vector.
    const QStringView text(reply);
    const qsizetype breaks = text.count(u'\n') + text.count(u'\r');
    std::vector<TFileRow> rows;
    rows.reserve(size_t(qMin(breaks + 1, kMaxListRows)));
    std::vector<TFileRow> folders;
    qsizetype taken = 0;
    for (qsizetype from = 0; from < text.size();) {
        qsizetype end = from;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        const QStringView line = text.sliced(from, end - from).trimmed();
        from = end + 1;
        if (line.isEmpty())
            continue;
        if (taken >= kMaxListRows)
            break;
        // Fields 0..5 of the line; a last field of any length is kept, missing ones are empty.
        QStringView f[6];
        qsizetype count = 0;
        for (qsizetype at = 0;; ++count) {
            const qsizetype star = line.indexOf(u'*', at);
            if (count < 6)
                f[count] = (star < 0 ? line.sliced(at) : line.sliced(at, star - at)).trimmed();
            if (star < 0)
                break;
            at = star + 1;
        }
        if (count < 1)
            break;   // fewer than two fields: a refusal text, not a list
        ++taken;
        TFileRow r;
        r.Key = StrToInt64Def(f[0], 0);
        r.Caption = f[2].toString();
        r.IsFolder = isTrueFlag(f[4]);
        if (r.IsFolder) {
            r.Icon = kFolderIcon;
            folders.push_back(std::move(r));
        } else {
            r.Icon = FileIconClass(r.Caption);
            r.CheckOutUser = f[3].toString();
            r.SizeText = SizeKBText(StrToInt64Def(f[5], 0));
            r.DateText = FormatWireDateTime(TicksToDateTime(StrToInt64Def(f[1], 0)));
            rows.push_back(std::move(r));
        }
    }
    // Each folder row was inserted above the earlier ones.
    rows.insert(rows.begin(), std::make_move_iterator(folders.rbegin()), std::make_move_iterator(folders.rend()));
    return rows;
}

QString TShowFiles::RequestText(const QString &encryptId, qint64 groupId, qint64 folderId)
{
    return QStringLiteral("[EncryptCode]") + encryptId + QStringLiteral("[/EncryptCode][OwnerId]")
           + QString::number(groupId) + QStringLiteral("[/OwnerId][FolderId]") + QString::number(folderId)
           + QStringLiteral("[/FolderID][IsIncludeSize]True[/IsIncludeSize]");
}

bool TShowFiles::GetFileList(std::vector<TFileRow> &rows, QString *error)
{
    try {
        const std::unique_ptr<TRobotTcpClient> client = m_conn.MakeClient();
        const QString reply =
            client->Tcp_GetText(rq::FolderFileList, RequestText(client->UserEncryptId(), FGroupId, FFolderId));
        if (reply.isEmpty() && !client->GetLastError().isEmpty()) {
            if (error)
                *error = client->GetLastError();
            return false;
        }
        rows = ParseFolderListLines(reply);
        return true;
    } catch (const ENetError &e) {
        if (error)
            *error = NetErrorText(e.kind(), e.message(), m_conn.Language);
    } catch (const std::exception &e) {
        if (error)
            *error = QString::fromUtf8(e.what());
    }
    return false;
}

std::vector<TServerFileEntry> ParseFolderFilesXml(const QString &xmlTxt)
{
    std::vector<TServerFileEntry> out;
    const TDateTime now = NowDateTime();
    const bool ok = ForEachRootChild(xmlTxt, [&out, now](const TXmlNode &e) {
        TServerFileEntry f;
        const qsizetype cut = qMax(e.Text.lastIndexOf(u'/'), e.Text.lastIndexOf(u'\\'));
        f.SourcePath = e.Text.left(cut + 1);
        f.Name = e.Text.mid(cut + 1);
        f.Size = StrToInt64Def(e.Attributes.value(QLatin1String("Size")), 0);
        f.ModifyDT = ParseWireDateTimeDef(e.Attributes.value(QLatin1String("DT")), now);
        f.Kind = quint32(StrToInt64Def(e.Attributes.value(QLatin1String("Kind")), 0));
        f.Id = StrToInt64Def(e.Attributes.value(QLatin1String("Id")), 0);
        f.Icon = FileViewIconClass(f.Kind);
        out.push_back(std::move(f));
    });
    if (!ok)
        out.clear();
    return out;
}
