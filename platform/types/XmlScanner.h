#pragma once

// Private to platform/types: the XML layer under the data packet reader. A
// cursor over the UTF-8 bytes that reads tags, attributes, references,
// comments and processing instructions strictly (well-formed XML only) and
// raises EPacketError with the line and column at the first fault. It knows
// nothing of the packet's elements; PacketReader.cpp builds on it.

#include "Exception.h"

#include <QByteArrayView>
#include <QString>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace packet {

inline bool IsXmlWs(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

struct XmlCharClasses
{
    bool nameStart[256] = {};
    bool name[256] = {};
    // Bytes an attribute value cannot take as they are: quotes (one of them ends
    // the value), markup, references and control characters.
    bool valueSpecial[256] = {};
    constexpr XmlCharClasses()
    {
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            nameStart[c] = letter || c == '_' || c == ':' || c >= 0x80;
            name[c] = nameStart[c] || (c >= '0' && c <= '9') || c == '-' || c == '.';
            valueSpecial[c] = c < 0x20 || c == '"' || c == '\'' || c == '<' || c == '&';
        }
    }
};
inline constexpr XmlCharClasses kXmlClass;

inline bool IsXmlNameStart(char c) { return kXmlClass.nameStart[uchar(c)]; }
inline bool IsXmlNameChar(char c) { return kXmlClass.name[uchar(c)]; }

class XmlScanner
{
public:
    explicit XmlScanner(QByteArrayView xml) : m_begin(xml.data()), m_p(xml.data()), m_end(xml.data() + xml.size())
    {
    }

protected:
    struct Attr
    {
        QByteArrayView name;
        const char* value;
        const char* valueEnd;
        bool plain; // no references or white space to replace: the raw bytes are the value
    };
    struct Tag
    {
        const char* at = nullptr;
        QByteArrayView name;
        std::vector<Attr> attrs;
        bool empty = false;
    };

    [[noreturn]] void Fail(const char* at, const QString& what) const;
    [[noreturn]] void FailEnd() const { Fail(m_end, QStringLiteral("the text ends before the packet does")); }

    bool Peek(std::string_view s) const
    {
        return m_end - m_p >= qsizetype(s.size()) && std::memcmp(m_p, s.data(), s.size()) == 0;
    }
    void SkipWs()
    {
        while (m_p < m_end && IsXmlWs(*m_p))
            ++m_p;
    }
    QByteArrayView ReadName();
    // After an attribute's name: '=', the quoted value. Once a cell, so inline.
    void ReadAttrValue(Attr& a);
    // Valid until the next call.
    std::string_view Normalized(const char* b, const char* e);
    QString Text(const Attr& a);
    const Attr* Find(const Tag& t, std::string_view name) const;

    // Byte order mark, XML declaration, comments and instructions before the root.
    void SkipProlog();
    void ReadStartTag(Tag& t);
    void ReadEndTag(QByteArrayView name);
    void SkipComment();
    void SkipPI();
    void SkipMisc(bool inProlog);
    void ExpectElementOrEnd();
    void SkipContent(QByteArrayView name, int depth);
    // Reads the child elements of `parent` up to and including its end tag,
    // each start tag handed to `each` (which reads the child's content).
    template <class Each>
    void ForEachChild(const Tag& parent, Each each)
    {
        if (parent.empty)
            return;
        for (;;) {
            SkipMisc(false);
            ExpectElementOrEnd();
            if (Peek("</")) {
                ReadEndTag(parent.name);
                return;
            }
            Tag child;
            ReadStartTag(child);
            each(child);
        }
    }

    const char* m_begin;
    const char* m_p;
    const char* m_end;

private:
    void CheckCharData(const char* b, const char* e);
    void ParseXmlDeclaration();

    std::string m_scratch;
};

inline void XmlScanner::ReadAttrValue(Attr& a)
{
    SkipWs();
    if (m_p >= m_end)
        FailEnd();
    if (*m_p != '=')
        Fail(m_p, QStringLiteral("'=' expected after attribute %1").arg(QString::fromUtf8(a.name)));
    ++m_p;
    SkipWs();
    if (m_p >= m_end)
        FailEnd();
    const char q = *m_p;
    if (q != '"' && q != '\'')
        Fail(m_p, QStringLiteral("the value of attribute %1 is not quoted").arg(QString::fromUtf8(a.name)));
    a.value = ++m_p;
    a.plain = true;
    for (;; ++m_p) {
        if (m_p >= m_end)
            FailEnd();
        const char c = *m_p;
        if (!kXmlClass.valueSpecial[uchar(c)])
            continue;
        if (c == q)
            break;
        if (c == '<')
            Fail(m_p, QStringLiteral("'<' in the value of attribute %1").arg(QString::fromUtf8(a.name)));
        if (c != '"' && c != '\'')
            a.plain = false;
    }
    a.valueEnd = m_p++;
}

} // namespace packet
