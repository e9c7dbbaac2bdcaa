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

bool ForEachRootChild(const QString &text, const std::function<void(const TXmlNode &)> &each, int maxDepth,
                      qsizetype maxElements)
{
    if (text.trimmed().isEmpty())
        return false;
    QXmlStreamReader reader(text);
    std::unique_ptr<TXmlNode> child;
    std::vector<TXmlNode *> stack;   // below the document element
    int depth = 0;                   // 1 inside the document element
    bool sawRoot = false;
    qsizetype elements = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
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
        case QXmlStreamReader::Characters:
            if (!stack.empty() && !reader.isWhitespace())
                stack.back()->Text += reader.text();
            break;
        default:
            break;
        }
    }
    return !reader.hasError() && sawRoot;
}
