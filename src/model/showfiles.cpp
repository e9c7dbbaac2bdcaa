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

bool isTrueFlag(const QString &s)
{
    return s.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0 || s == QLatin1String("1");
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
    std::vector<TFileRow> folders;
    std::vector<TFileRow> files;
    for (QStringView line : QStringView(reply).split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        if (qsizetype(folders.size() + files.size()) >= kMaxListRows)
            break;
        const QList<QStringView> f = line.split(u'*');
        if (f.size() < 2)
            break;
        auto field = [&f](int i) { return i < f.size() ? f.at(i).trimmed().toString() : QString(); };
        TFileRow r;
        r.Key = StrToInt64Def(field(0), 0);
        r.Caption = field(2);
        r.IsFolder = isTrueFlag(field(4));
        if (r.IsFolder) {
            r.Icon = kFolderIcon;
            folders.push_back(std::move(r));
        } else {
            r.Icon = FileIconClass(r.Caption);
            r.CheckOutUser = field(3);
            r.SizeText = SizeKBText(StrToInt64Def(field(5), 0));
            r.DateText = FormatWireDateTime(TicksToDateTime(StrToInt64Def(field(1), 0)));
            files.push_back(std::move(r));
        }
    }
    // Each folder row was inserted above the earlier ones.
    std::vector<TFileRow> rows;
    rows.reserve(folders.size() + files.size());
    rows.insert(rows.end(), std::make_move_iterator(folders.rbegin()), std::make_move_iterator(folders.rend()));
    rows.insert(rows.end(), std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
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
            *error = e.message();
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
        f.Size = StrToInt64Def(e.Attr(QStringLiteral("Size")), 0);
        f.ModifyDT = ParseWireDateTimeDef(e.Attr(QStringLiteral("DT")), now);
        f.Kind = quint32(StrToInt64Def(e.Attr(QStringLiteral("Kind")), 0));
        f.Id = StrToInt64Def(e.Attr(QStringLiteral("Id")), 0);
        f.Icon = FileViewIconClass(f.Kind);
        out.push_back(std::move(f));
    });
    if (!ok)
        out.clear();
    return out;
}
