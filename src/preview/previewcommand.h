#pragma once
// Command 13: shows a server file in the viewer its type and this machine
// call for, with the permissions of the command. Types no viewer of ours can
// show open the server's own preview page in the browser instead.
#include "model/serverconn.h"
#include "preview/emlmessage.h"
#include "preview/previewwindows.h"
#include "preview/viewerchoice.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QUrl>

#include <functional>
#include <memory>

class TPreViewHint;
class TPreviewBaseFrm;
class QWidget;

class TPreviewCommand : public QObject
{
    Q_OBJECT
public:
    TPreviewCommand(const TServerConn &conn, const QString &tempFolder, TPreViewHint *hint, TPreviewWindows *windows,
                    QObject *parent = nullptr);

    // Runs the command text; false with *error when it cannot be carried out.
    bool Run(const QString &cmd, QString *error);

    std::shared_ptr<TSoftwareProbe> FProbe;
    QString FRelationFile;   // FileTypeRelation.txt
    TViewerAsker FAsk;
    // Opens the server's page in the browser; replaceable so tests start none.
    std::function<bool(const QUrl &)> FOpenUrl;
    // Starts the help viewer on a file; replaceable for tests.
    std::function<bool(const QString &program, const QString &file)> FStartHelpViewer;
    QString ConversionCacheFolder() const;

Q_SIGNALS:
    // A viewer window was opened for the command (tests and benchmarks).
    void opened(TPreviewBaseFrm *window);
    // The server's preview page was offered instead.
    void webPageOpened(const QUrl &url);

private:
    QString t(const char *cn, const char *en) const;
    bool openWebPage(const TPreviewRequest &r, const QString &why, QString *error);
    TPreviewBaseFrm *createViewer(TViewerRoute route);
    // What a click on a mail's attachment does: ask the server, save it, open it when it cannot run.
    std::function<void(const TEmlAttachment &)> attachmentOpener(qint64 key, const TPreviewOptions &options);

    TServerConn m_conn;
    QString m_temp;
    QPointer<TPreViewHint> m_hint;
    QPointer<TPreviewWindows> m_windows;
};
