#include "core/webcmd.h"

#include "core/folders.h"
#include "core/textfile.h"

QString WebCmdText(const TWebCmd &cmd)
{
    return QStringLiteral("[Code]%1[/Code][Cmd]").arg(cmd.Code) + cmd.Cmd + QLatin1String("[/Cmd]");
}

bool WriteWebCmdFile(const QString &path, const TWebCmd &cmd, QString *error)
{
    ForceFileFolder(path);
    return WriteFileAtomic(path, QByteArray("\xEF\xBB\xBF") + WebCmdText(cmd).toUtf8(), error, true);
}
