// Screenshots of the editing windows: the text editor with Chinese text, the
// edit monitor while a file is in use, and the office editor's control window
// beside the document open in LibreOffice (the whole virtual screen).
#include "app/appediting.h"
#include "app/arvoclientfrm.h"
#include "core/ansicodec.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "edit/editorlauncher.h"
#include "edit/officeeditfrm.h"
#include "edit/showeditinfofrm.h"
#include "edit/texteditfrm.h"
#include "files/filemagfrm.h"
#include "platform/fileinuse.h"
#include "preview/officeconverter.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <functional>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
}

// The first visible window whose title contains text, or 0.
qulonglong findWindow(const QString &text)
{
    QProcess x;
    x.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                        QRegularExpression::escape(text)});
    if (!x.waitForFinished(5000))
        return 0;
    return QString::fromLatin1(x.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts).value(0).toULongLong();
}

void xdotool(const QStringList &args)
{
    QProcess x;
    x.start(QStringLiteral("xdotool"), args);
    x.waitForFinished(5000);
}

// Ends the LibreOffice this program started: the process it launched, and
// whatever runs with its own profile.
void endLibreOffice(const QString &profile, qint64 launched)
{
    if (launched > 0)
        ::kill(pid_t(launched), SIGTERM);
    for (const FileInUse::ProcessInfo &p : FileInUse::UserProcesses())
        if ((p.Name == QLatin1String("soffice.bin") || p.Name == QLatin1String("oosplash"))
            && p.Args.join(u' ').contains(profile))
            ::kill(pid_t(p.Pid), SIGTERM);
}

} // namespace

void shootEditing(TARVOClientFrm &w, bool chinese, const std::function<void(QWidget *, const QString &)> &shoot,
                  const std::function<void(const std::function<bool()> &, const char *, int)> &need,
                  const QString &outDir, const QString &lang, const std::function<qint64(const QString &owner,
                                                                                        const QStringList &path,
                                                                                        const QString &name)> &keyOf)
{
    Q_UNUSED(chinese);  // the windows take the language from the configuration
    const TServerConn conn = TServerConn::FromConfig(TClientConfigX());

    // The text editor with a GBK file in Chinese.
    const QString notes = QDir::homePath() + QStringLiteral("/shots/会议记录.txt");
    writeFile(notes, AnsiFromText(QStringLiteral("会议记录 2026-12-10\r\n\r\n一、项目进度：设计评审已完成，图纸已归档。\r\n"
                                                 "二、合同：供货协议第三版待法务确认。\r\n三、下周计划：提交报价并安排现场验收。\r\n")));
    auto *text = new TTextFileEditFrm(conn, GetConfigFolder());
    text->LoadCopy(notes);
    text->setWindowTitle(QStringLiteral("会议记录.txt - ") + text->Texts.WLS_Edit);
    text->SetToolbarVisible(true);
    text->resize(760, 460);
    text->show();
    need([text] { return QTest::qWaitForWindowExposed(text); }, "text editor", 10000);
    shoot(text, QStringLiteral("textedit"));
    delete text;

    // The edit monitor while "tail -f" holds the downloaded copy open.
    TEditMonitor &monitor = w.Editing()->Monitor()->Monitor();
    monitor.SettleMs = 0;
    monitor.SetInterval(300);
    bool seenInUse = false;
    QObject::connect(&monitor, &TEditMonitor::checked, &monitor, [&seenInUse](qint64, bool inUse) {
        if (inUse)
            seenInUse = true;
    });
    EditorLauncher::SetEditorOverride(QStringLiteral("tail"), {QStringLiteral("-f")});
    const qint64 todo = keyOf(QStringLiteral("Demo User"), {QStringLiteral("Personal")}, QStringLiteral("Todo.txt"));
    w.Editing()->TakeEditCommand(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(todo), true);
    need([&] { return monitor.FileList().size() == 1 && seenInUse; }, "monitor watching a file in use", 20000);
    TShowEditInfoFrm *mon = w.Editing()->Monitor();
    shoot(mon, QStringLiteral("editmonitor"));
    if (monitor.FileList().first().EditorPid > 0)
        ::kill(pid_t(monitor.FileList().first().EditorPid), SIGTERM);
    mon->hide();

    // The office editor's window beside LibreOffice, which holds the document.
    const QString soffice = TOfficeConverter::FindSoffice();
    if (soffice.isEmpty()) {
        std::fprintf(stderr, "LibreOffice is not installed: no picture of the office editor.\n");
        return;
    }
    const QString profileDir = QDir::homePath() + QStringLiteral("/lo-profile");
    // No tips dialog over the document on the first start.
    writeFile(profileDir + QStringLiteral("/user/registrymodifications.xcu"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" "
              "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
              "<item oor:path=\"/org.openoffice.Office.Common/Misc\"><prop oor:name=\"ShowTipOfTheDay\" oor:op=\"fuse\">"
              "<value>false</value></prop></item>\n"
              "<item oor:path=\"/org.openoffice.Office.Common/Misc\"><prop oor:name=\"FirstRun\" oor:op=\"fuse\">"
              "<value>false</value></prop></item>\n</oor:items>\n");
    const QString profile = QUrl::fromLocalFile(profileDir).toString();
    // A LibreOffice without its desktop part (the "nogui" packages) still holds
    // the document headless; then the control window is shot alone.
    QStringList loArgs{QStringLiteral("--norestore"), QStringLiteral("--nologo"),
                       QStringLiteral("-env:UserInstallation=") + profile};
    const bool desktopPart = QFileInfo::exists(QFileInfo(soffice).canonicalPath() + QStringLiteral("/libvclplug_genlo.so"));
    if (!desktopPart)
        loArgs.prepend(QStringLiteral("--headless"));
    EditorLauncher::SetEditorOverride(soffice, loArgs);
    const QString docName = QStringLiteral("Supply agreement.docx");
    const qint64 key = keyOf(QStringLiteral("R&D"), {QStringLiteral("Contracts"), QStringLiteral("2024")}, docName);
    w.Editing()->EditOffice(key, docName, nullptr);
    auto *office = qobject_cast<TOfficeFileEditFrm *>(w.Editing()->Editors().value(w.Editing()->Editors().size() - 1).data());
    if (!office) {
        EditorLauncher::SetEditorOverride({}, {});
        return;
    }
    // The program starts once the download is in: the override must last until then.
    const bool opened = QTest::qWaitFor([office] { return office->IsOfficeOpen(); }, 90000);
    EditorLauncher::SetEditorOverride({}, {});
    if (!opened) {
        std::fprintf(stderr, "LibreOffice did not open the document: no picture of the office editor.\n");
        endLibreOffice(profile, office->EditorPid());
        return;
    }
    office->move(840, 40);
    office->raise();
    const QString copyName = QFileInfo(office->FEditFileName).fileName();
    qulonglong lo = 0;
    if (desktopPart && QTest::qWaitFor([&] { return (lo = findWindow(copyName)) != 0; }, 60000)) {
        xdotool({QStringLiteral("windowmove"), QString::number(lo), QStringLiteral("0"), QStringLiteral("0")});
        xdotool({QStringLiteral("windowsize"), QString::number(lo), QStringLiteral("820"), QStringLiteral("740")});
        // LibreOffice draws the page a moment after its window appears.
        QTest::qWait(4000);
        const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0, 0, 0, 1280, 780);
        const QString file = outDir + QStringLiteral("/officeedit-screen-") + lang + QStringLiteral(".png");
        if (screen.save(file))
            std::fprintf(stderr, "%s (whole screen)\n", qPrintable(file));
    } else {
        std::fprintf(stderr, "LibreOffice has no desktop part here: the control window is shot alone.\n");
    }
    shoot(office, QStringLiteral("officeedit"));
    endLibreOffice(profile, office->EditorPid());
    if (!QTest::qWaitFor([office] { return !office->IsOfficeOpen(); }, 20000))
        std::fprintf(stderr, "LibreOffice still holds the document.\n");
    office->CancelEdit();
    delete office;
}
