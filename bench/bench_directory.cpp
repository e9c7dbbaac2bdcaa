// Parsing the organisation (50 000 users in 2 000 groups) and a folder list of
// 100 000 files, next to a plain QXmlStreamReader pass over the same text (the
// ratio is our model's overhead), and the time from a reply to a filled, sorted
// view of 100 000 rows. Each case runs in a forked child so its peak resident
// size is its own.
#include "files/filelistmodel.h"
#include "model/orgstructure.h"
#include "model/showfiles.h"

#include <QApplication>
#include <QHeaderView>
#include <QTreeView>
#include <QXmlStreamReader>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
QString orgXml(int users, int groups)
{
    QString x = QStringLiteral("<Org><GroupItem Name=\"Root\" Id=\"1\"><Members/><Childs>");
    const int perGroup = users / groups;
    int user = 100000;
    for (int g = 0; g < groups; ++g) {
        // Ten levels of nesting, then back to the top: a realistic, deep-ish tree.
        x += QStringLiteral("<GroupItem Name=\"Group %1\" Id=\"%2\"><Members>").arg(g).arg(g + 2);
        for (int u = 0; u < perGroup; ++u, ++user)
            x += QStringLiteral("<User Id=\"%1\" Name=\"User %1\" Email=\"u%1@example.com\" CoreId=\"E%1\" BindingIp=\"\" "
                                "LasterLoginTm=\"2024-05-06 07:08:09\"/>").arg(user);
        x += QStringLiteral("</Members><Childs>");
        if (g % 10 == 9)
            x += QStringLiteral("</Childs></GroupItem>").repeated(10);
    }
    x += QStringLiteral("</Childs></GroupItem>").repeated(groups % 10);
    return x + QStringLiteral("</Childs></GroupItem></Org>");
}

QString folderLines(int files)
{
    QString s;
    for (int i = 0; i < files; ++i)
        s += QStringLiteral("%1*%2*Document %3.docx**False*%4\r\n").arg(500000 + i).arg(45000000000000000LL + i).arg((i * 7919) % files).arg(i * 13);
    return s;
}

QString fileXml(int files)
{
    QString s = QStringLiteral("<Files>");
    for (int i = 0; i < files; ++i)
        s += QStringLiteral("<File Id=\"%1\" Size=\"%2\" DT=\"2024-01-02 03:04:05\" Kind=\"1685021560\">/a/b/Document %1.docx</File>").arg(i).arg(i * 13);
    return s + QStringLiteral("</Files>");
}

int plainPass(const QString &xml)
{
    QXmlStreamReader r(xml);
    int elements = 0;
    while (!r.atEnd())
        if (r.readNext() == QXmlStreamReader::StartElement) {
            ++elements;
            (void)r.attributes();
        }
    return elements;
}

// Runs f in a child; prints the time f reports and the child's peak memory.
void measure(const char *name, const std::function<double()> &f)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const double ms = f();
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        std::printf("%-44s %9.1f ms  peak %7.1f MiB\n", name, ms, ru.ru_maxrss / 1024.0);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

template <typename F>
double timed(F f)
{
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString org = orgXml(50000, 2000);
    const QString lines = folderLines(100000);
    const QString files = fileXml(100000);
    std::printf("inputs: organisation %.1f MiB, folder lines %.1f MiB, file XML %.1f MiB (UTF-16)\n",
                org.size() * 2 / 1048576.0, lines.size() * 2 / 1048576.0, files.size() * 2 / 1048576.0);
    measure("organisation: plain stream pass", [&] { return timed([&] { plainPass(org); }); });
    measure("organisation: TOrgStructure", [&] {
        TOrgStructure o;
        return timed([&] { o.ParseOrgStructure(org); });
    });
    measure("file XML (request 65): plain stream pass", [&] { return timed([&] { plainPass(files); }); });
    measure("file XML (request 65): ParseFolderFilesXml", [&] {
        std::vector<TServerFileEntry> out;
        return timed([&] { out = ParseFolderFilesXml(files); });
    });
    measure("folder lines (request 40): split only", [&] {
        qsizetype n = 0;
        return timed([&] {
            for (QStringView l : QStringView(lines).split(u'\n'))
                n += l.split(u'*').size();
        });
    });
    measure("folder lines (request 40): rows", [&] {
        std::vector<TFileRow> rows;
        return timed([&] { rows = ParseFolderListLines(lines); });
    });
    measure("reply to filled, sorted view (100 000 rows)", [&] {
        TFileListModel model;
        QTreeView view;
        view.setUniformRowHeights(true);
        view.setModel(&model);
        view.resize(800, 600);
        view.show();
        return timed([&] {
            model.SetRows(ParseFolderListLines(lines));
            model.SortByHeaderClick(TFileListModel::ColCaption);
            QApplication::processEvents();
            view.grab();
        });
    });
    return 0;
}
