// The client's side of the framed exchange and of the file channel against a
// fuzzed peer: a local server thread reads the client's request and answers with
// the input's bytes, then closes. With FUZZ_NETPEER_TLS the same over TLS 1.2.
// Input: the first byte chooses the operation, the rest is what the server sends.
#include "fakeserver.h"
#include "model/orgstructure.h"
#include "model/showfiles.h"
#include "model/showfolder.h"
#include "net/robottcpclient.h"
#include "net/tidyfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {
#ifdef FUZZ_NETPEER_TLS
constexpr bool kTls = true;
#else
constexpr bool kTls = false;
#endif

QMutex g_lock;
QByteArray g_play;
bool g_fileChannel = false;

std::unique_ptr<TRobotTcpClient> client(quint16 port)
{
    auto c = std::make_unique<TRobotTcpClient>(kTls);
    c->Host = QStringLiteral("127.0.0.1");
    c->Port = port;
    c->ReadTimeout = 1000;
    c->FLanguage = HSL_ENG;
    c->SetUserEncryptId(QStringLiteral("ENC"));
    return c;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_netpeer";
    static char *argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static const QString source = [] {
        const QString p = dir.path() + QLatin1String("/source.bin");
        QFile f(p);
        if (f.open(QIODevice::WriteOnly))
            f.write(QByteArray(70000, 'u'));
        return p;
    }();
    static FakeServer *server = [] {
        auto *s = new FakeServer(kTls ? FakeServer::Tls : FakeServer::Plain);
        s->setDefaultScript([](FakeConn &c) {
            QByteArray play;
            bool fileChannel = false;
            {
                QMutexLocker lock(&g_lock);
                play = g_play;
                fileChannel = g_fileChannel;
            }
            if (fileChannel)
                c.readFileRequest();
            else
                c.readFrame();
            c.write(play);
            c.close();
        });
        return s;
    }();
    if (size == 0 || !server->ok())
        return 0;
    const int op = data[0] % 8;
    {
        QMutexLocker lock(&g_lock);
        g_play = QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
        g_fileChannel = op >= 5;
    }
    const auto c = client(server->port());
    try {
        QString text;
        switch (op) {
        case 0:
            (void)ParseFolderListLines(c->Tcp_GetText(rq::FolderFileList, TShowFiles::RequestText(QStringLiteral("ENC"), 1, 2)));
            break;
        case 1:
            (void)c->GetFileType();
            break;
        case 2: {
            c->GetOrgStructure(text, TS_Default);
            TOrgStructure org;
            org.ParseOrgStructure(text);
            break;
        }
        case 3:
            c->GetSubFolders(1, 2, text);
            (void)TShowFolder::ParseSubFolders(text);
            (void)TShowFolder::ParseOwnerFolders(text);
            break;
        case 4: {
            c->LoadFolderFiles(1, 2, text);
            (void)ParseFolderFilesXml(text);
            TDownloadFilesReply reply;
            c->GetDownloadFiles(QString(), reply);
            break;
        }
        case 5:
        case 6: {
            TDateTime t = 0;
            c->DownloadFile(dir.path() + QLatin1String("/down.bin"),
                            op == 5 ? QString() : QStringLiteral("[IsReplace]True[/IsReplace]"), t, 7);
            for (const QString &left : QDir(dir.path()).entryList({QStringLiteral("down*")}, QDir::Files))
                QFile::remove(dir.path() + u'/' + left);
            break;
        }
        default:
            c->UploadFile2(source, QString(), 7);
            break;
        }
    } catch (const std::exception &) {
        // Rising errors are part of the contract; crashes and hangs are not.
    }
    return 0;
}
