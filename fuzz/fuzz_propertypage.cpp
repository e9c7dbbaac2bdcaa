// The file-property page: the property text (from the server, or from what the
// page's own script returned) becomes hidden inputs pasted into the page and a
// script that pastes them. Values must reach the page only as attribute values:
// the inputs parse back as exactly the inputs made, each with its value intact.
#include "core/tagtext.h"
#include "files/filepropertypage.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QString unescape(QString v)
{
    v.replace(QLatin1String("&quot;"), QLatin1String("\""));
    v.replace(QLatin1String("&#39;"), QLatin1String("'"));
    v.replace(QLatin1String("&lt;"), QLatin1String("<"));
    v.replace(QLatin1String("&gt;"), QLatin1String(">"));
    v.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const quint8 typeBits = data[0];
    const QString prt = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QStringList ids = FilePropertyPage::PropertyIds(prt);
    QHash<QString, QString> types;
    for (qsizetype i = 0; i < ids.size(); ++i)
        types.insert(ids[i], (typeBits >> (i % 8)) & 1 ? QStringLiteral("checkbox") : QStringLiteral("text"));
    const QString html = FilePropertyPage::HiddenInputsHtml(prt, ids, types);

    // Walk the inputs as a page would: each value ends at the first quote.
    qsizetype pos = 0;
    for (const QString &id : ids) {
        const QString head = QStringLiteral("<input type=\"hidden\" id=\"h_FilePrt") + id + QStringLiteral("\" value=\"");
        if (html.mid(pos, head.size()) != head)
            std::abort();
        pos += head.size();
        const qsizetype end = html.indexOf(u'"', pos);
        if (end < 0 || html.mid(end, 2) != QLatin1String("\">"))
            std::abort();
        const QString raw = html.mid(pos, end - pos);
        if (raw.contains(u'<') || raw.contains(u'>') || raw.contains(u'\''))
            std::abort();
        QString value = GetTagValue(prt, id, false);
        if (types.value(id) == QLatin1String("checkbox"))
            value.replace(u',', QStringLiteral("*#*#"));
        if (unescape(raw) != value)
            std::abort();
        pos = end + 2;
    }
    if (pos != html.size())
        std::abort();

    // The script carries the inputs as one string literal that reads back as them.
    const QString script = FilePropertyPage::FillScript(html);
    const QString prefix = QStringLiteral("(function(h){document.body.insertAdjacentHTML('beforeend',h);fillProperty();return true;})(");
    if (!script.startsWith(prefix) || !script.endsWith(u')'))
        std::abort();
    const QString literal = script.mid(prefix.size(), script.size() - prefix.size() - 1);
    const QJsonDocument doc = QJsonDocument::fromJson((u'[' + literal + u']').toUtf8());
    if (!doc.isArray() || doc.array().size() != 1 || doc.array().at(0).toString() != html)
        std::abort();
    (void)FilePropertyPage::ElementTypesScript(ids);
    return 0;
}
