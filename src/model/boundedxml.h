#pragma once
// A small read-only XML tree for the server's directory replies. Qt's stream
// reader keeps document order; the tree bounds nesting depth and element count so
// a hostile reply cannot exhaust the stack (the consumers recurse) or memory.
#include <QString>
#include <QXmlStreamAttributes>
#include <QXmlStreamReader>

#include <functional>
#include <memory>
#include <vector>

struct TXmlNode {
    QString Name;
    QXmlStreamAttributes Attributes;
    QString Text;   // character data directly inside this element
    std::vector<std::unique_ptr<TXmlNode>> Children;

    QString Attr(const QString &name) const { return Attributes.value(name).toString(); }
    bool HasAttr(const QString &name) const { return Attributes.hasAttribute(name); }
    // First child element of that name (exact case, as the DOM does), or null.
    const TXmlNode *Child(const QString &name) const;
};

// Hands a reply to a QXmlStreamReader in pieces. Given the whole text at once the
// reader keeps a UTF-8 copy and a decoded copy of it (one and a half times the reply);
// in pieces it holds a few kilobytes, and parses faster for staying in cache.
class TXmlFeed
{
public:
    explicit TXmlFeed(QStringView text) : m_text(text) {}
    // The next token; more text is added whenever the reader runs out.
    QXmlStreamReader::TokenType next();
    QXmlStreamReader &reader() { return m_reader; }

private:
    QStringView m_text;
    qsizetype m_pos = 0;
    QXmlStreamReader m_reader;
};

constexpr int kMaxXmlDepth = 256;
constexpr qsizetype kMaxXmlElements = 2'000'000;

// The document element, or null when the text is empty, malformed, truncated,
// deeper than maxDepth or holds more than maxElements elements; *error says which.
// Streams the children of the document element one at a time (each a small tree
// of its own), so a flat reply of 100 000 entries never exists as one tree. False
// when the document does not load as a whole; callers then drop what they got.
bool ForEachRootChild(const QString &text, const std::function<void(const TXmlNode &)> &each,
                      int maxDepth = kMaxXmlDepth, qsizetype maxElements = kMaxXmlElements);

std::unique_ptr<TXmlNode> LoadBoundedXml(const QString &text, QString *error = nullptr, int maxDepth = kMaxXmlDepth,
                                         qsizetype maxElements = kMaxXmlElements);
