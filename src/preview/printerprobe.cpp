#include "preview/printerprobe.h"

#include <QHash>
#include <QPrinterInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace {

bool isIPv4(const QString &s)
{
    const QStringList parts = s.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString &p : parts) {
        if (p.isEmpty() || p.size() > 3)
            return false;
        for (QChar c : p)
            if (c < u'0' || c > u'9')
                return false;
        if (p.toInt() > 255)
            return false;
    }
    return true;
}

} // namespace

bool IsVirtualPrinter(const QString &portName, const QString &driverName)
{
    const QString port = portName.toUpper();
    const QString driver = driverName.toUpper();
    for (const char *real : {"COM", "USB", "LPT", "WSD"})
        if (port.contains(QLatin1String(real)))
            return false;
    if (isIPv4(port))
        return false;
    return driver.contains(QLatin1String("PDF")) || driver.contains(QLatin1String("XPS"))
           || port.contains(QLatin1String("PORTPROMPT")) || port.contains(QLatin1String("PDF"))
           || port.contains(QLatin1String("NUL"));
}

bool IsVirtualQueue(const QString &deviceUri, const QString &makeAndModel)
{
    const QString scheme = QUrl(deviceUri).scheme().toLower();
    static const QStringList real{QStringLiteral("usb"),  QStringLiteral("parallel"), QStringLiteral("serial"),
                                  QStringLiteral("ipp"),  QStringLiteral("ipps"),     QStringLiteral("socket"),
                                  QStringLiteral("lpd"),  QStringLiteral("dnssd"),    QStringLiteral("smb"),
                                  QStringLiteral("http"), QStringLiteral("https"),    QStringLiteral("hp"),
                                  QStringLiteral("implicitclass")};
    if (real.contains(scheme))
        return false;
    static const QStringList files{QStringLiteral("cups-pdf"), QStringLiteral("file"), QStringLiteral("pdf"),
                                   QStringLiteral("cups-brf")};
    const QString model = makeAndModel.toUpper();
    return files.contains(scheme) || model.contains(QLatin1String("PDF")) || model.contains(QLatin1String("XPS"));
}

namespace PrinterProbe {

QHash<QString, QString> DeviceUris(const QString &lpstat)
{
    QHash<QString, QString> uris;
    if (lpstat.isEmpty())
        return uris;
    QProcess p;
    // The lines are read by their English words: a translated "device for" would find no queue.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("C"));
    env.remove(QStringLiteral("LANGUAGE"));
    p.setProcessEnvironment(env);
    p.start(lpstat, {QStringLiteral("-v")});
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(1000);
        return uris;
    }
    // "device for NAME: URI"
    for (const QString &line : QString::fromLocal8Bit(p.readAllStandardOutput()).split(u'\n')) {
        if (!line.startsWith(QLatin1String("device for ")))
            continue;
        const qsizetype colon = line.indexOf(QLatin1String(": "));
        if (colon > 11)
            uris.insert(line.mid(11, colon - 11), line.mid(colon + 2).trimmed());
    }
    return uris;
}

QList<TPrinterPort> Printers()
{
    QList<TPrinterPort> out;
    const QList<QPrinterInfo> infos = QPrinterInfo::availablePrinters();
    if (infos.isEmpty())
        return out;
    const QHash<QString, QString> uris = DeviceUris(QStandardPaths::findExecutable(QStringLiteral("lpstat")));
    for (const QPrinterInfo &i : infos)
        out.append(TPrinterPort{i.printerName(), uris.value(i.printerName()), i.makeAndModel()});
    return out;
}

bool ExistsVirtualPrinter(const QList<TPrinterPort> &printers)
{
    for (const TPrinterPort &p : printers)
        if (IsVirtualQueue(p.Port, p.Driver))
            return true;
    return false;
}

} // namespace PrinterProbe
