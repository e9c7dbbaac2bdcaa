#pragma once
// Tag text: flat [Name]value[/Name] entries; names match ignoring ASCII case,
// first opening tag and the first closing tag after it, no escaping, no nesting.
#include <QList>
#include <QString>
#include <QStringList>

QString GetTagValue(const QString &text, const QString &tag, bool trimValue = true);
void SetTagValue(const QString &tag, const QString &value, QString &text);

// Every piece is kept, a trailing separator adds no empty last piece.
QStringList SplitByText(const QString &text, const QString &separator);
// One final separator dropped, pieces trimmed, empty pieces dropped.
QStringList SplitByChar(const QString &text, QChar ch);
QList<qint32> SplitIntegers(const QString &text, QChar ch);
QList<qint64> SplitInt64s(const QString &text, QChar ch);

// Removes leading and trailing characters with codes up to 32.
QString TrimCtl(const QString &text);
