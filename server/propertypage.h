#pragma once
// File properties: the definitions an administrator keeps, the page the client
// shows in its embedded browser to fill them in, and the stored text of a file.
#include "store.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct PropertyDef
{
    int id = 0;
    QString name;
    QString kind;       // text, number, date, select, radio, checkbox, textarea
    QStringList options;
    bool required = false;
};

QList<PropertyDef> propertyDefs(Store &store);
// Returns false (and says why) for an unknown kind or an option with "," or "|".
bool addPropertyDef(Store &store, const PropertyDef &def, QString *error = nullptr);
// The whole page: one element named "FilePrt" + id per property, the hidden
// "isOK" and "filePrt", and the scripts fillProperty() and checkFilePrt().
QByteArray propertyPageHtml(const QList<PropertyDef> &defs);
// "[proid]1,2[/proid][1]name[/1]..." of every definition.
QString propertyDefsText(const QList<PropertyDef> &defs);
