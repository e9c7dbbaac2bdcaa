// Mail messages and web archives read with GMime, in a plugin the client
// loads for the first mail file, so a resident client never maps GMime (nor
// gio, gobject and gpgme). GMime's headers come first: GLib names a struct
// member "signals".
#include <gmime/gmime.h>

#include "preview/emlmessage.h"

#include <QStringDecoder>

#include <mutex>

namespace {

void initGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

QString fromGChar(char *s)
{
    if (!s)
        return {};
    const QString out = QString::fromUtf8(s);
    g_free(s);
    return out;
}

QString addresses(InternetAddressList *list)
{
    if (!list || internet_address_list_length(list) == 0)
        return {};
    return fromGChar(internet_address_list_to_string(list, nullptr, FALSE));
}

QByteArray content(GMimePart *part)
{
    GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    GMimeStream *mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(wrapper, mem);
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    QByteArray out(reinterpret_cast<const char *>(bytes->data), int(qMin<guint>(bytes->len, INT_MAX)));
    g_object_unref(mem);
    return out;
}

QString decode(const QByteArray &bytes, const char *charset)
{
    QByteArray name = charset ? QByteArray(charset).trimmed() : QByteArray("UTF-8");
    if (name.isEmpty() || name.compare("us-ascii", Qt::CaseInsensitive) == 0)
        name = "UTF-8";
    // Mail from Chinese systems often says gb2312 and means the larger GBK.
    if (name.compare("gb2312", Qt::CaseInsensitive) == 0)
        name = "GBK";
    QStringDecoder d(name.constData(), QStringDecoder::Flag::Stateless);
    if (!d.isValid())
        d = QStringDecoder("GBK", QStringDecoder::Flag::Stateless);
    return d.decode(bytes);
}

void visit(GMimeObject *, GMimeObject *part, gpointer data)
{
    auto *m = static_cast<TEmlMessage *>(data);
    if (!GMIME_IS_PART(part))
        return;
    GMimePart *p = GMIME_PART(part);
    const char *filename = g_mime_part_get_filename(p);
    GMimeContentType *type = g_mime_object_get_content_type(part);
    const bool text = type && g_mime_content_type_is_type(type, "text", "*");
    if (filename || g_mime_part_is_attachment(p) || !text) {
        // Bounded: a message with thousands of parts lists the first ones.
        if (m->Attachments.size() < 500) {
            QString name = filename ? QString::fromUtf8(filename) : QString();
            if (name.isEmpty())
                name = QStringLiteral("attachment%1").arg(m->Attachments.size() + 1);
            m->Attachments.append({name, content(p)});
        }
        return;
    }
    const char *charset = g_mime_object_get_content_type_parameter(part, "charset");
    if (g_mime_content_type_is_type(type, "text", "html")) {
        if (m->Html.isEmpty())
            m->Html = decode(content(p), charset);
    } else if (m->Text.isEmpty()) {
        m->Text = decode(content(p), charset);
    }
}

} // namespace

extern "C" Q_DECL_EXPORT bool zudivuvo_eml_parse(int interfaceVersion, const QByteArray &bytes, TEmlMessage *out)
{
    if (interfaceVersion != kEmlParseInterfaceVersion || !out)
        return false;
    TEmlMessage &m = *out;
    initGMime();
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *msg = g_mime_parser_construct_message(parser, nullptr);
    if (msg) {
        m.Ok = true;
        const char *date = g_mime_object_get_header(GMIME_OBJECT(msg), "Date");
        m.Date = date ? QString::fromUtf8(date).trimmed() : QString();
        m.To = addresses(g_mime_message_get_to(msg));
        m.From = addresses(g_mime_message_get_from(msg));
        m.Cc = addresses(g_mime_message_get_cc(msg));
        const char *subject = g_mime_message_get_subject(msg);
        m.Subject = subject ? QString::fromUtf8(subject) : QString();
        g_mime_message_foreach(msg, visit, &m);
        g_object_unref(msg);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return m.Ok;
}

