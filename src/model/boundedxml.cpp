#include "model/boundedxml.h"

#include <QXmlStreamReader>

namespace {
constexpr qsizetype kFeedChars = 32 * 1024;

// Character data may arrive in several tokens (a piece ends where the feed did);
// a run of them counts as one, and a run of blanks only is no text.
class TextRun
{
public:
    void add(QStringView piece) { m_text += piece; }
    void flushInto(TXmlNode *node)
    {
        if (node && !blank())
            node->Text += m_text;
        m_text.clear();
    }

private:
    bool blank() const
    {
        for (QChar c : m_text)
            if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
                return false;
        return true;
    }
    QString m_text;
};
} // namespace

QXmlStreamReader::TokenType TXmlFeed::next()
{
    for (;;) {
        const QXmlStreamReader::TokenType t = m_reader.readNext();
        if (t != QXmlStreamReader::Invalid || m_reader.error() != QXmlStreamReader::PrematureEndOfDocumentError
            || m_pos >= m_text.size())
            return t;
        qsizetype n = qMin(kFeedChars, m_text.size() - m_pos);
        if (m_pos + n < m_text.size() && m_text[m_pos + n - 1].isHighSurrogate())
            ++n;   // never split a surrogate pair
        m_reader.addData(m_text.sliced(m_pos, n).toString());
        m_pos += n;
    }
}

const TXmlNode *TXmlNode::Child(const QString &name) const
{
    for (const auto &c : Children)
        if (c->Name == name)
            return c.get();
    return nullptr;
}

std::unique_ptr<TXmlNode> LoadBoundedXml(const QString &text, QString *error, int maxDepth, qsizetype maxElements)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::unique_ptr<TXmlNode>();
    };
    if (text.trimmed().isEmpty())
        return fail(QStringLiteral("Empty XML document"));
    TXmlFeed feed(text);
    QXmlStreamReader &reader = feed.reader();
    std::unique_ptr<TXmlNode> root;
    std::vector<TXmlNode *> stack;
    TextRun run;
    qsizetype elements = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = feed.next();
        if (token == QXmlStreamReader::Characters) {
            run.add(reader.text());
            continue;
        }
        run.flushInto(stack.empty() ? nullptr : stack.back());
        switch (token) {
        case QXmlStreamReader::StartElement: {
            if (++elements > maxElements)
                return fail(QStringLiteral("XML document has too many elements"));
            if (int(stack.size()) >= maxDepth)
                return fail(QStringLiteral("XML document is nested too deeply"));
            auto node = std::make_unique<TXmlNode>();
            node->Name = reader.name().toString();
            node->Attributes = reader.attributes();
            TXmlNode *raw = node.get();
            if (stack.empty()) {
                if (root)
                    return fail(QStringLiteral("XML document has more than one document element"));
                root = std::move(node);
            } else {
                stack.back()->Children.push_back(std::move(node));
            }
            stack.push_back(raw);
            break;
        }
        case QXmlStreamReader::EndElement:
            if (!stack.empty())
                stack.pop_back();
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        return fail(QStringLiteral("Malformed XML: ") + reader.errorString());
    if (!root)
        return fail(QStringLiteral("XML document has no element"));
    return root;
}

bool ForEachRootChild(const QString &text, const std::function<void(const TXmlNode &)> &each, int maxDepth,
                      qsizetype maxElements)
{
    if (text.trimmed().isEmpty())
        return false;
    TXmlFeed feed(text);
    QXmlStreamReader &reader = feed.reader();
    std::unique_ptr<TXmlNode> child;
    std::vector<TXmlNode *> stack;   // below the document element
    TextRun run;
    int depth = 0;                   // 1 inside the document element
    bool sawRoot = false;
    qsizetype elements = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = feed.next();
        if (token == QXmlStreamReader::Characters) {
            run.add(reader.text());
            continue;
        }
        run.flushInto(stack.empty() ? nullptr : stack.back());
        switch (token) {
        case QXmlStreamReader::StartElement: {
            if (++elements > maxElements || depth >= maxDepth)
                return false;
            ++depth;
            if (depth == 1) {
                if (sawRoot)
                    return false;
                sawRoot = true;
                break;
            }
            auto node = std::make_unique<TXmlNode>();
            node->Name = reader.name().toString();
            node->Attributes = reader.attributes();
            TXmlNode *raw = node.get();
            if (depth == 2)
                child = std::move(node);
            else
                stack.back()->Children.push_back(std::move(node));
            stack.push_back(raw);
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            if (!stack.empty())
                stack.pop_back();
            if (depth == 1 && child) {
                each(*child);
                child.reset();
            }
            break;
        default:
            break;
        }
    }
    return !reader.hasError() && sawRoot;
}
