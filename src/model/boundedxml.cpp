#include "model/boundedxml.h"

#include <QXmlStreamReader>

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
    QXmlStreamReader reader(text);
    std::unique_ptr<TXmlNode> root;
    std::vector<TXmlNode *> stack;
    qsizetype elements = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
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
        case QXmlStreamReader::Characters:
            if (!stack.empty() && !reader.isWhitespace())
                stack.back()->Text += reader.text();
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
