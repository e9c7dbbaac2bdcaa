#pragma once
// Tag text: flat [Name]value[/Name] entries; names match ignoring ASCII case,
// first opening tag and the first closing tag after it, no escaping, no nesting.
#include <QList>
#include <QString>
#include <QStringList>

#include <string>
#include <unordered_map>

QString GetTagValue(const QString &text, const QString &tag, bool trimValue = true);
// Replaces the first entry of tag; an opening tag that has no closing tag after it is
// replaced by the entry too. Appends the entry and CR LF when the tag is missing.
void SetTagValue(const QString &tag, const QString &value, QString &text);
// False when value holds tag's closing tag: sent as "[tag]value[/tag]" it would be
// read back cut short, as there is no escaping.
bool TagValueFits(const QString &value, const QString &tag);

// Reads many tags of one text in one pass (lists such as "Type0".."TypeN"), with the
// answers of GetTagValue. Only names starting with prefix are kept; names hold no "[" or "]".
class TTagIndex
{
public:
    explicit TTagIndex(const QString &text, QStringView prefix = {});
    QString Value(QStringView tag, bool trimValue = true) const;

private:
    struct Span {
        qsizetype open = -1;
        qsizetype close = -1;
    };
    static bool hasPrefix(QStringView name, QStringView prefix);
    static std::u16string key(QStringView name);

    QString m_text;
    std::unordered_map<std::u16string, Span> m_spans;
};

// Every piece is kept, a trailing separator adds no empty last piece.
QStringList SplitByText(const QString &text, const QString &separator);
// One final separator dropped, pieces trimmed, empty pieces dropped.
QStringList SplitByChar(const QString &text, QChar ch);
QList<qint32> SplitIntegers(const QString &text, QChar ch);
QList<qint64> SplitInt64s(const QString &text, QChar ch);

// Removes leading and trailing characters with codes up to 32.
QString TrimCtl(const QString &text);
