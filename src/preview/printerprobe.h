#pragma once
// Which printers only make files: a document that may not leave the viewer may
// not be printed while one exists.
#include <QHash>
#include <QList>
#include <QString>

struct TPrinterPort {
    QString Name;
    QString Port;     // the queue's device address (a CUPS device URI here)
    QString Driver;   // the driver, or make and model
};

// The rule on a port name and a driver name as Windows names them.
bool IsVirtualPrinter(const QString &port, const QString &driver);
// The same question for a CUPS queue: by its device address and make and model.
bool IsVirtualQueue(const QString &deviceUri, const QString &makeAndModel);

namespace PrinterProbe {
// The installed queues with their device addresses. Blocking (asks the print
// system): not on the GUI thread.
QList<TPrinterPort> Printers();
// Queue name to device address, as the given lpstat program lists them. Blocking.
QHash<QString, QString> DeviceUris(const QString &lpstat);
bool ExistsVirtualPrinter(const QList<TPrinterPort> &printers);
}
