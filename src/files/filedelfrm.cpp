#include "files/filedelfrm.h"

#include "core/helpers.h"
#include "files/asyncrun.h"
#include "files/filetexts.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr quint8 kDeleteFolder = 142;
constexpr quint8 kDeleteFile = 144;

struct TDelAnswer {
    int Code = 0;
    QString Error;   // a transport error says more than "unknown error"
};
} // namespace

TFileDeleter::TFileDeleter(const TServerConn &conn, QObject *parent)
    : QObject(parent)
    , WLS_DelOK(LangText(conn.Language, "删除成功", "Deleted successfully"))
    , m_conn(conn)
{
}

void TFileDeleter::Init(const TSelectedInfos &selectedInfo, qint32 ownerId, TFileListModel *fileListItem)
{
    FSelectedInfo = selectedInfo;
    FOwnerId = ownerId;
    FFileListItem = fileListItem;
}

void TFileDeleter::DeleteFiles()
{
    if (Running())
        return;
    m_stop = false;
    m_next = int(FSelectedInfo.size()) - 1;
    deleteNext();
}

void TFileDeleter::deleteNext()
{
    if (m_next < 0 || m_stop) {
        m_next = -1;
        Q_EMIT finished();
        return;
    }
    const TSelectedInfo row = FSelectedInfo.at(m_next);
    const TServerConn conn = m_conn;
    const qint32 owner = FOwnerId;
    RunAsync(this, [conn, owner, row] {
        TDelAnswer a;
        try {
            const auto client = conn.MakeClient();
            const QString tag = row.IsFolder ? QStringLiteral("FolderId") : QStringLiteral("FileKey");
            const QString text = client->UserEncryptStr() + QStringLiteral("[OwnerId]%1[/OwnerId]").arg(owner) + u'['
                                 + tag + u']' + QString::number(row.FileKey) + QStringLiteral("[/") + tag + u']';
            const QString reply = client->Tcp_GetText(row.IsFolder ? kDeleteFolder : kDeleteFile, text);
            a.Code = StrToIntDef(reply.trimmed(), 0);
            if (reply.isEmpty())
                a.Error = client->GetLastError();
        } catch (const ENetError &e) {
            a.Error = NetErrorText(e.kind(), e.message(), conn.Language);
        } catch (const std::exception &e) {
            a.Error = QString::fromUtf8(e.what());
        }
        return a;
    }, [this, row](const TDelAnswer &a) {
        QString line;
        if (a.Code == 1) {
            if (FFileListItem)
                FFileListItem->RemoveEntry(row.Index, row.FileKey, row.IsFolder);
            if (row.IsFolder)
                DeletedFolders.insert(row.FileKey);
            line = row.FileName + QStringLiteral(": ") + WLS_DelOK;
        } else {
            const QString why = a.Code == 0 && !a.Error.isEmpty() ? a.Error
                                                                  : ResultCodeText(a.Code, m_conn.Language == HSL_ENG ? HSL_ENG : HSL_CN);
            line = row.FileName + QStringLiteral(": ") + why;
        }
        Log << line;
        Q_EMIT logLine(line);
        --m_next;
        deleteNext();
    });
}

TFileDelFrm::TFileDelFrm(const TServerConn &conn, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_deleter(new TFileDeleter(conn, this))
{
    const THS_Language lang = conn.Language;
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(LangText(lang, "删除信息", "Delete information"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    lblHint = new QLabel(lang == HSL_NONE ? QStringLiteral("提示信息：") : LangText(lang, "提示", "Hint"), this);
    mmLog = new QPlainTextEdit(this);
    mmLog->setReadOnly(true);
    btnClose = new QPushButton(LangText(lang, "关闭", "Close"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnClose);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblHint);
    layout->addWidget(mmLog, 1);
    layout->addLayout(buttons);
    resize(460, 300);

    connect(m_deleter, &TFileDeleter::logLine, mmLog, &QPlainTextEdit::appendPlainText);
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_deleter, &TFileDeleter::finished, this, [this] {
        if (m_closing)
            close();
    });
}

void TFileDelFrm::closeEvent(QCloseEvent *event)
{
    // The row in progress may be deleted on the server already: its answer must
    // still reach the list, and the file manager refreshes after it.
    if (m_deleter->Running()) {
        m_closing = true;
        m_deleter->Stop();
        hide();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TFileDelFrm::Init(const TSelectedInfos &selectedInfo, qint32 ownerId, TFileListModel *fileListItem)
{
    m_deleter->Init(selectedInfo, ownerId, fileListItem);
}

void TFileDelFrm::DeleteFiles()
{
    m_deleter->DeleteFiles();
}
