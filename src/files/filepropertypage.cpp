#include "files/filepropertypage.h"

#include "core/tagtext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace FilePropertyPage {

namespace {
constexpr int kMaxProperties = 1000;

// A JavaScript literal of any text: JSON escapes quotes, backslashes and controls.
QString jsString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString jsArray(const QStringList &items)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(items)).toJson(QJsonDocument::Compact));
}

const char kFindElement[] = "function(n){return document.getElementById(n)||document.getElementsByName(n)[0]||null;}";
} // namespace

QStringList PropertyIds(const QString &prtParams)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    QStringList ids;
    for (const QString &part : SplitByChar(GetTagValue(prtParams, QStringLiteral("proid")), u',')) {
        const QString id = part.trimmed();
        if (safe.match(id).hasMatch() && !ids.contains(id))
            ids << id;
        if (ids.size() >= kMaxProperties)
            break;
    }
    return ids;
}

QString ElementTypesScript(const QStringList &ids)
{
    return QStringLiteral("(function(ids){var r={};for(var i=0;i<ids.length;i++){"
                          "var e=document.getElementsByName('FilePrt'+ids[i])[0];"
                          "r[ids[i]]=e&&e.type?String(e.type).toLowerCase():'';}return r;})(")
           + jsArray(ids) + u')';
}

QHash<QString, QString> ParseElementTypes(const QVariant &result)
{
    QHash<QString, QString> types;
    const QVariantMap map = result.toMap();
    for (auto it = map.begin(); it != map.end(); ++it)
        types.insert(it.key(), it.value().toString());
    return types;
}

QString HtmlAttribute(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '&': out += QStringLiteral("&amp;"); break;
        case '"': out += QStringLiteral("&quot;"); break;
        case '\'': out += QStringLiteral("&#39;"); break;
        case '<': out += QStringLiteral("&lt;"); break;
        case '>': out += QStringLiteral("&gt;"); break;
        default: out += c;
        }
    }
    return out;
}

QString HiddenInputsHtml(const QString &prtParams, const QStringList &ids, const QHash<QString, QString> &types)
{
    QString html;
    for (const QString &id : ids) {
        QString value = GetTagValue(prtParams, id, false);
        const QString type = types.value(id);
        if (type == QLatin1String("radio") || type == QLatin1String("checkbox"))
            value.replace(u',', QStringLiteral("*#*#"));
        html += QStringLiteral("<input type=\"hidden\" id=\"h_FilePrt") + id + QStringLiteral("\" value=\"")
                + HtmlAttribute(value) + QStringLiteral("\">");
    }
    return html;
}

QString FillScript(const QString &html)
{
    return QStringLiteral("(function(h){document.body.insertAdjacentHTML('beforeend',h);fillProperty();return true;})(")
           + jsString(html) + u')';
}

QString CheckScript()
{
    return QStringLiteral("(function(){var el=") + QLatin1String(kFindElement)
           + QStringLiteral(";checkFilePrt();var ok=el('isOK'),p=el('filePrt');"
                            "return [ok?String(ok.value):'',p?String(p.value):''];})()");
}

bool ParseCheck(const QVariant &result, QString &prtParams)
{
    const QVariantList list = result.toList();
    if (list.size() != 2 || list.at(0).toString() != QLatin1String("1"))
        return false;
    prtParams = list.at(1).toString();
    return true;
}

} // namespace FilePropertyPage
