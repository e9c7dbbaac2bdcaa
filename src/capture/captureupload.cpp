#include "capture/captureupload.h"

#include "capture/logging.h"
#include "core/uitext.h"
#include "files/filetexts.h"
#include "model/folderchanges.h"
#include "net/robottcpclient.h"
#include "net/sslhttp.h"
#include "net/webendpoints.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kUploadReadTimeout = 120000;
constexpr int kClipboardReadTimeout = 40000;
constexpr int kArchiveTimeout = 30000;
constexpr int kMaxListedInQuestion = 20;
} // namespace

TCaptureTexts::TCaptureTexts(THS_Language lang)
    : WLS_Caption(LangText(lang, "上传", "Upload"))
    , WLS_SaveAs(LangText(lang, "另存为", "Save as"))
    , WLS_AddWatermark(LangText(lang, "添加水印", "Watermark"))
    , WLS_OrigPic(LangText(lang, "原始图像", "Original"))
    , WLS_ShowUI(LangText(lang, "扫描对话框", "With Dialog"))
    , WLS_NoFindTwain(LangText(lang, "没有发现扫描仪", "No scanner found"))
    , WLS_SelectedTwain(LangText(lang, "选择一个扫描仪", "Select a scanner"))
    , WLS_TwainInit(LangText(lang, "正在识别设备，请稍等...", "Opening the camera, please wait ..."))
    , WLS_NoImageFile(QStringLiteral("没有扫描文件，请先扫描文件"))
    , WLS_Over(LangText(lang, "完成上传！", "Uploaded!"))
    , WLS_Ok(LangText(lang, "上传成功", "Upload successful"))
    , WLS_Error(LangText(lang, "错误：", "Error: "))
    , WLS_InputName(LangText(lang, "请输入文件名称！", "Please input file name!"))
    , WLS_Uploading(LangText(lang, "正在上传，请等待...", "Uploading,please wait..."))
    , WLS_ArchiveFailed(QStringLiteral("错误，文件关联档案失败！"))
    , WLS_Hint(LangText(lang, "提示", "Hint"))
    , WLS_NoFile(LangText(lang, "先在资源管理器中拷贝文件，然后此窗口粘贴上传文件",
                          "Copy files in the windows explorer, then paste them in this window for being uploaded "
                          "automatically "))
    , WLS_CurrentFile(LangText(lang, "当前文件：", "Current: "))
    , WLS_UploadErr(LangText(lang, "上传失败，错误原因如下：", "Upload failed error: "))
    , WLS_UploadOk(LangText(lang, "已成功上传", "Successfully upload"))
    , WLS_ErrorNum(LangText(lang, "上传失败个数：", "Upload Failed number: "))
    , WLS_NumDesc(LangText(lang, "共有文件%s个，已经完成%s个", "There are %s files, has completed %s"))
    , WLS_SizeIsZero(LangText(lang, "上传文件大小不能为0", "The size of uploaded file cannot be 0 !"))
{
}

// ---- scanned pages

TScanUploadController::TScanUploadController(const TServerConn &conn, QObject *parent)
    : TTransferBase(conn, conn.Language, parent)
{
}

QString TScanUploadController::UploadBaseName(const QString &typed)
{
    QString base = typed;
    const qsizetype at = base.toLower().indexOf(QLatin1String(".jpg"));
    if (at >= 0)
        base = base.left(at);
    // The name becomes a local file name first: it must not reach another folder.
    for (QChar &c : base)
        if (c == u'/' || c == u'\\' || c.unicode() < 32 || c.unicode() == 0x7F)
            c = u'_';
    return base;
}

QString TScanUploadController::PageUploadName(const QString &base, int index, int count)
{
    if (count <= 1)
        return base + QLatin1String(".jpg");
    const int digits = int(std::lround(std::log10(double(count)))) + 1;
    return base + u'_' + QStringLiteral("%1").arg(index + 1, digits, 10, QLatin1Char('0')) + QLatin1String(".jpg");
}

void TScanUploadController::Start(const QString &typedName, const QStringList &pages, qint32 ownerId,
                                  qint64 folderId, qint64 arcId, qint64 ownerId2, int jpegQuality)
{
    if (IsBusy())
        return;
    ResetBreak();
    m_results.clear();
    const QString base = UploadBaseName(typedName);
    for (int i = 0; i < pages.size(); ++i) {
        TScanUploadPage page;
        page.PagePath = pages.at(i);
        page.UploadName = PageUploadName(base, i, int(pages.size()));
        m_results.append(page);
    }
    auto results = std::make_shared<QList<TScanUploadPage>>(m_results);
    const QString baseUrl = m_conn.BaseUrl();
    const bool ssl = m_conn.SSL;
    Run([results, ownerId, folderId, arcId, ownerId2, jpegQuality, baseUrl, ssl](TTransferJob &job) {
        for (int i = 0; i < results->size(); ++i) {
            TScanUploadPage &page = (*results)[i];
            if (job.IsBreak == 1) {
                page.Error = UiText("已取消", "Cancelled");
                continue;
            }
            job.Notify([i, n = int(results->size())](TTransferBase *o) {
                Q_EMIT static_cast<TScanUploadController *>(o)->pageStarted(i, n);
            });
            // Written under the name it is to have on the server, in a folder of its own beside the page.
            const QString folder = QFileInfo(page.PagePath).absolutePath() + QLatin1String("/upload/");
            QDir().mkpath(folder);
            const QString jpeg = folder + page.UploadName;
            QImageReader reader(page.PagePath);
            const QImage img = reader.read();
            QImageWriter writer(jpeg, "jpeg");
            writer.setQuality(jpegQuality);
            if (img.isNull() || !writer.write(img)) {
                page.Error = img.isNull() ? QStringLiteral("Cannot read %1: %2").arg(page.PagePath, reader.errorString())
                                          : QStringLiteral("Cannot write %1: %2").arg(jpeg, writer.errorString());
                QFile::remove(jpeg);
                continue;
            }
            TRobotTcpClient &client = job.Client(kUploadReadTimeout);
            client.Disconnect();
            page.Status = client.UploadFile(ownerId, QString(), page.Key, DescribeLocalFile(jpeg), folderId);
            if (!page.Stored())
                page.Error = client.GetLastError();
            if (arcId > 0 && page.Key > 0) {
                page.ArchiveTried = true;
                const QString answer = TSSLHttp(ssl).GetText(
                    WebEndpoints::ArchiveLink(baseUrl, page.Key, arcId, ownerId2), kArchiveTimeout);
                page.ArchiveOk = answer == QLatin1String("ok");
            }
            QFile::remove(jpeg);
        }
    }, [this, results, ownerId, folderId] {
        m_results = *results;
        // An open list of the folder shows the new pages.
        if (std::any_of(m_results.cbegin(), m_results.cend(), [](const TScanUploadPage &p) { return p.Key > 0; }))
            TFolderChanges::Notify(ownerId, folderId);
        for (const TScanUploadPage &p : std::as_const(m_results))
            qCInfo(lcCapture).noquote() << "scan page" << p.UploadName << "status" << p.Status << "key" << p.Key
                                        << (p.Error.isEmpty() ? QString() : p.Error);
        Q_EMIT finished();
    });
}

// ---- clipboard files

TClipboardUploadController::TClipboardUploadController(const TServerConn &conn, QObject *parent)
    : TTransferBase(conn, conn.Language, parent)
    , m_texts(conn.Language)
{
    qRegisterMetaType<TClipboardUploadLine>();
}

QString TClipboardUploadController::ConfirmText(THS_Language lang, const QStringList &paths, const QString &target)
{
    QString text = LangText(lang, "将以下 %1 个文件上传到 %2：", "Upload these %1 files to %2?")
                       .arg(paths.size())
                       .arg(target)
                   + u'\n';
    for (int i = 0; i < paths.size() && i < kMaxListedInQuestion; ++i)
        text += u'\n' + QDir::toNativeSeparators(paths.at(i));
    if (paths.size() > kMaxListedInQuestion)
        text += u'\n' + LangText(lang, "…… 另有 %1 个", "... and %1 more").arg(paths.size() - kMaxListedInQuestion);
    return text;
}

QString TClipboardUploadController::LogLine(const TCaptureTexts &texts, const TClipboardUploadLine &line)
{
    if (line.Error.isEmpty())
        return line.Path;
    return line.Path + QLatin1String("  --  ") + texts.WLS_UploadErr + line.Error;
}

void TClipboardUploadController::Start(const QStringList &paths, qint32 ownerId, qint64 folderId)
{
    if (IsBusy())
        return;
    ResetBreak();
    m_paths = paths;
    m_owner = ownerId;
    m_folder = folderId;
    m_done = 0;
    m_failures = 0;
    next();
}

void TClipboardUploadController::next()
{
    if (m_done >= m_paths.size() || IsCancelled()) {
        Q_EMIT finished(m_failures);
        return;
    }
    const QString path = m_paths.at(m_done);
    const QFileInfo info(path);
    Q_EMIT currentFile(m_texts.WLS_CurrentFile + QLatin1String(": ") + QDir::toNativeSeparators(path) + u'('
                       + QString::number(info.size() / 1024 + 1) + QLatin1String(" K)"));
    Q_EMIT fileStarted();
    auto line = std::make_shared<TClipboardUploadLine>();
    line->Path = QDir::toNativeSeparators(path);
    const qint32 owner = m_owner;
    const qint64 folder = m_folder;
    const TCaptureTexts texts = m_texts;
    Run([line, path, owner, folder, texts, lang = m_lang](TTransferJob &job) {
        const QFileInfo fi(path);
        if (!fi.isFile()) {
            line->Error = LangText(lang, "文件不存在", "The file does not exist");
            return;
        }
        const TTidyFile file = DescribeLocalFile(path);
        if (file.Size == 0) {
            line->Error = texts.WLS_SizeIsZero;
            return;
        }
        TRobotTcpClient &client = job.Client(kClipboardReadTimeout);
        client.Disconnect();
        qint64 key = 0;
        const quint8 r = client.UploadFile(owner, QString(), key, file, folder);
        // Only a stored file counts as uploaded.
        line->Ok = r == fc::Stored && key > 0;
        if (!line->Ok) {
            line->Error = client.GetLastError();
            if (line->Error.isEmpty())
                line->Error = ResultCodeText(r, lang);
        }
    }, [this, line, owner, folder] {
        ++m_done;
        if (!line->Ok)
            ++m_failures;
        else
            TFolderChanges::Notify(owner, folder);
        Q_EMIT fileDone(*line, m_done, int(m_paths.size()));
        next();
    });
}
