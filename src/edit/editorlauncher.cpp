#include "edit/editorlauncher.h"

#include "platform/desktopopener.h"
#include "preview/officeconverter.h"
#include "web/webmodule.h"

#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>

namespace EditorLauncher {

namespace {
QMutex g_lock;
QString g_program;
QStringList g_args;

QString pick(bool chinese, const char *cn, const char *en)
{
    return QString::fromUtf8(chinese ? cn : en);
}
} // namespace

bool IsOfficeType(const QString &ext)
{
    static const QStringList office{
        QStringLiteral("doc"), QStringLiteral("docx"), QStringLiteral("dotx"), QStringLiteral("wps"),
        QStringLiteral("xls"), QStringLiteral("xlsx"), QStringLiteral("xlsm"), QStringLiteral("et"),
        QStringLiteral("ppt"), QStringLiteral("pptx"), QStringLiteral("pps"), QStringLiteral("dps"),
        QStringLiteral("odt"), QStringLiteral("ods"), QStringLiteral("odp"), QStringLiteral("rtf")};
    return office.contains(ext.toLower());
}

QString OfficeProgram(const QString &ext)
{
    const QString soffice = TOfficeConverter::FindSoffice();
    if (!soffice.isEmpty())
        return soffice;
    // WPS for Linux: one program per family.
    const QString e = ext.toLower();
    QString wps = QStringLiteral("wps");
    if (QStringList{QStringLiteral("xls"), QStringLiteral("xlsx"), QStringLiteral("xlsm"), QStringLiteral("et"),
                    QStringLiteral("ods")}.contains(e))
        wps = QStringLiteral("et");
    else if (QStringList{QStringLiteral("ppt"), QStringLiteral("pptx"), QStringLiteral("pps"), QStringLiteral("dps"),
                         QStringLiteral("odp")}.contains(e))
        wps = QStringLiteral("wpp");
    return QStandardPaths::findExecutable(wps);
}

void SetEditorOverride(const QString &program, const QStringList &leadingArgs)
{
    QMutexLocker guard(&g_lock);
    g_program = program;
    g_args = leadingArgs;
}

Started Open(const QString &path, bool chinese)
{
    Started s;
    const QFileInfo info(path);
    if (!TWebModule::IsSafeToOpen(path)) {
        s.Error = pick(chinese, "此类型的文件不能编辑：", "Files of this type cannot be edited: ") + info.fileName();
        return s;
    }
    QString program;
    QStringList args;
    {
        QMutexLocker guard(&g_lock);
        program = g_program;
        args = g_args;
    }
    if (program.isEmpty() && IsOfficeType(info.suffix())) {
        program = OfficeProgram(info.suffix());
        if (program.endsWith(QLatin1String("soffice")) || program.endsWith(QLatin1String("libreoffice")))
            args << QStringLiteral("--norestore");
    }
    if (program.isEmpty()) {
        s.Ok = DesktopOpener::OpenFile(info.absoluteFilePath(), &s.Error, chinese);
        return s;
    }
    args << info.absoluteFilePath();
    // The editor must not hold our output channels: it outlives us.
    QProcess editor;
    editor.setProgram(program);
    editor.setArguments(args);
    editor.setWorkingDirectory(info.absolutePath());
    editor.setStandardInputFile(QProcess::nullDevice());
    editor.setStandardOutputFile(QProcess::nullDevice());
    editor.setStandardErrorFile(QProcess::nullDevice());
    s.Ok = editor.startDetached(&s.Pid);
    if (!s.Ok)
        s.Error = pick(chinese, "无法启动 ", "Cannot start ") + program;
    return s;
}

} // namespace EditorLauncher
