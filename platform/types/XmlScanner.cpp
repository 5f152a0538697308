#include "XmlScanner.h"

#include "PacketValueText.h"

#include <algorithm>

namespace packet {

namespace {

constexpr int kMaxDepth = 256;

inline bool IsXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

} // namespace

void XmlScanner::Fail(const char* at, const QString& what) const
{
    qsizetype line = 1;
    const char* lineStart = m_begin;
    for (const char* p = m_begin; p < at; ++p)
        if (*p == '\n') {
            ++line;
            lineStart = p + 1;
        }
    throw EPacketError(QStringLiteral("Invalid data packet: %1 (line %2, column %3)")
                           .arg(what)
                           .arg(line)
                           .arg(at - lineStart + 1));
}

QByteArrayView XmlScanner::ReadName()
{
    const char* b = m_p;
    if (m_p >= m_end)
        FailEnd();
    if (!IsXmlNameStart(*m_p))
        Fail(m_p, QStringLiteral("a name was expected"));
    while (m_p < m_end && IsXmlNameChar(*m_p))
        ++m_p;
    if (!ValidUtf8(b, m_p))
        Fail(b, QStringLiteral("the name is not valid UTF-8"));
    return QByteArrayView(b, m_p - b);
}

// An attribute value after reference replacement and white-space
// normalisation (literal tab, CR, LF and CR LF each become one blank).
std::string_view XmlScanner::Normalized(const char* b, const char* e)
{
    m_scratch.clear();
    for (const char* p = b; p < e; ++p) {
        const char c = *p;
        if (c == '&') {
            const char* semi = static_cast<const char*>(std::memchr(p, ';', size_t(qMin<qsizetype>(e - p, 12))));
            if (!semi)
                Fail(p, QStringLiteral("'&' that starts no reference"));
            const std::string_view ref(p + 1, size_t(semi - p - 1));
            if (ref == "lt")
                m_scratch += '<';
            else if (ref == "gt")
                m_scratch += '>';
            else if (ref == "amp")
                m_scratch += '&';
            else if (ref == "quot")
                m_scratch += '"';
            else if (ref == "apos")
                m_scratch += '\'';
            else if (ref.size() >= 2 && ref[0] == '#') {
                const bool hex = ref[1] == 'x';
                const std::string_view digits = ref.substr(hex ? 2 : 1);
                char32_t v = 0;
                bool ok = !digits.empty() && digits.size() <= 8;
                for (char d : digits) {
                    int n;
                    if (d >= '0' && d <= '9')
                        n = d - '0';
                    else if (hex && d >= 'a' && d <= 'f')
                        n = d - 'a' + 10;
                    else if (hex && d >= 'A' && d <= 'F')
                        n = d - 'A' + 10;
                    else {
                        ok = false;
                        break;
                    }
                    v = v * (hex ? 16 : 10) + char32_t(n);
                }
                if (!ok || !IsXmlChar(v))
                    Fail(p, QStringLiteral("invalid character reference '&%1;'")
                                .arg(QString::fromUtf8(ref.data(), qsizetype(ref.size()))));
                AppendUtf8(m_scratch, v);
            } else {
                Fail(p, QStringLiteral("unknown entity '&%1;'").arg(QString::fromUtf8(ref.data(), qsizetype(ref.size()))));
            }
            p = semi;
        } else if (c == '\r') {
            m_scratch += ' ';
            if (p + 1 < e && p[1] == '\n')
                ++p;
        } else if (c == '\n' || c == '\t') {
            m_scratch += ' ';
        } else if (uchar(c) < 0x20) {
            Fail(p, QStringLiteral("control character %1 in an attribute value").arg(int(c)));
        } else {
            m_scratch += c;
        }
    }
    return m_scratch;
}

QString XmlScanner::Text(const Attr& a)
{
    const std::string_view v = a.plain ? std::string_view(a.value, size_t(a.valueEnd - a.value))
                                       : Normalized(a.value, a.valueEnd);
    if (!ValidUtf8(v.data(), v.data() + v.size()))
        Fail(a.value, QStringLiteral("the value of attribute %1 is not valid UTF-8").arg(QString::fromUtf8(a.name)));
    return QString::fromUtf8(v.data(), qsizetype(v.size()));
}

const XmlScanner::Attr* XmlScanner::Find(const Tag& t, std::string_view name) const
{
    for (const Attr& a : t.attrs)
        if (a.name == QByteArrayView(name.data(), qsizetype(name.size())))
            return &a;
    return nullptr;
}

// At '<' of a start tag; reads up to and including '>' or '/>'.
void XmlScanner::ReadStartTag(Tag& t)
{
    t.at = m_p;
    ++m_p;
    t.name = ReadName();
    t.attrs.clear();
    for (;;) {
        const char* before = m_p;
        SkipWs();
        if (m_p >= m_end)
            FailEnd();
        if (*m_p == '>') {
            ++m_p;
            t.empty = false;
            break;
        }
        if (*m_p == '/') {
            if (m_p + 1 >= m_end)
                FailEnd();
            if (m_p[1] != '>')
                Fail(m_p, QStringLiteral("'/>' expected"));
            m_p += 2;
            t.empty = true;
            break;
        }
        if (m_p == before)
            Fail(m_p, QStringLiteral("white space expected before attribute"));
        Attr a;
        a.name = ReadName();
        ReadAttrValue(a);
        // Values are checked even when nobody reads them: the packet must be well-formed.
        const std::string_view v = a.plain ? std::string_view(a.value, size_t(a.valueEnd - a.value))
                                           : Normalized(a.value, a.valueEnd);
        if (!ValidUtf8(v.data(), v.data() + v.size()))
            Fail(a.value, QStringLiteral("the value of attribute %1 is not valid UTF-8").arg(QString::fromUtf8(a.name)));
        for (const Attr& other : t.attrs)
            if (other.name == a.name)
                Fail(a.name.data(), QStringLiteral("attribute %1 appears twice in <%2>")
                                        .arg(QString::fromUtf8(a.name), QString::fromUtf8(t.name)));
        t.attrs.push_back(a);
    }
}

// At "</".
void XmlScanner::ReadEndTag(QByteArrayView name)
{
    const char* at = m_p;
    m_p += 2;
    const QByteArrayView got = ReadName();
    SkipWs();
    if (m_p >= m_end)
        FailEnd();
    if (*m_p != '>')
        Fail(m_p, QStringLiteral("'>' expected"));
    ++m_p;
    if (got != name)
        Fail(at, QStringLiteral("</%1> does not close <%2>").arg(QString::fromUtf8(got), QString::fromUtf8(name)));
}

void XmlScanner::SkipComment()
{
    const char* at = m_p;
    m_p += 4;
    for (;;) {
        const char* dash = static_cast<const char*>(std::memchr(m_p, '-', size_t(m_end - m_p)));
        if (!dash || m_end - dash < 3)
            FailEnd();
        if (dash[1] == '-') {
            if (dash[2] != '>')
                Fail(dash, QStringLiteral("'--' inside a comment"));
            CheckCharData(at + 4, dash);
            m_p = dash + 3;
            return;
        }
        m_p = dash + 1;
    }
}

void XmlScanner::SkipPI()
{
    const char* at = m_p;
    m_p += 2;
    const QByteArrayView target = ReadName();
    if (target.size() == 3 && QByteArrayView("xml").compare(target, Qt::CaseInsensitive) == 0)
        Fail(at, QStringLiteral("an XML declaration is only allowed at the very start"));
    const QByteArrayView rest(m_p, m_end - m_p);
    const qsizetype close = rest.indexOf("?>");
    if (close < 0)
        FailEnd();
    if (close > 0 && !IsXmlWs(*m_p))
        Fail(m_p, QStringLiteral("white space expected after the processing instruction's name"));
    CheckCharData(m_p, m_p + close);
    m_p += close + 2;
}

// Characters of comments and instructions: valid UTF-8, XML characters only.
void XmlScanner::CheckCharData(const char* b, const char* e)
{
    for (const char* p = b; p < e; ++p)
        if (uchar(*p) < 0x20 && !IsXmlWs(*p))
            Fail(p, QStringLiteral("control character %1").arg(int(*p)));
    if (!ValidUtf8(b, e))
        Fail(b, QStringLiteral("text that is not valid UTF-8"));
}

// White space, comments and processing instructions between elements.
void XmlScanner::SkipMisc(bool inProlog)
{
    for (;;) {
        SkipWs();
        if (Peek("<!--"))
            SkipComment();
        else if (Peek("<?"))
            SkipPI();
        else if (inProlog && Peek("<!DOCTYPE"))
            Fail(m_p, QStringLiteral("a document type declaration is not accepted in a data packet"));
        else
            return;
    }
}

// After SkipMisc inside an element of the packet: there must be a tag now.
void XmlScanner::ExpectElementOrEnd()
{
    if (m_p >= m_end)
        FailEnd();
    if (*m_p != '<')
        Fail(m_p, QStringLiteral("text is not allowed here"));
    if (Peek("<![CDATA["))
        Fail(m_p, QStringLiteral("text is not allowed here"));
    if (Peek("<!"))
        Fail(m_p, QStringLiteral("markup declarations are not accepted"));
}

// Any well-formed content up to the end tag of `name` (parameters of the packet
// that this program does not use).
void XmlScanner::SkipContent(QByteArrayView name, int depth)
{
    if (depth > kMaxDepth)
        Fail(m_p, QStringLiteral("elements nested too deeply"));
    for (;;) {
        const char* textStart = m_p;
        while (m_p < m_end && *m_p != '<')
            ++m_p;
        if (m_p > textStart) {
            const std::string_view text(textStart, size_t(m_p - textStart));
            if (text.find("]]>") != std::string_view::npos)
                Fail(textStart, QStringLiteral("']]>' in text"));
            const std::string_view n = Normalized(textStart, m_p);
            if (!ValidUtf8(n.data(), n.data() + n.size()))
                Fail(textStart, QStringLiteral("text that is not valid UTF-8"));
        }
        if (m_p >= m_end)
            FailEnd();
        if (Peek("</")) {
            ReadEndTag(name);
            return;
        }
        if (Peek("<!--")) {
            SkipComment();
        } else if (Peek("<?")) {
            SkipPI();
        } else if (Peek("<![CDATA[")) {
            const QByteArrayView rest(m_p + 9, m_end - m_p - 9);
            const qsizetype close = rest.indexOf("]]>");
            if (close < 0)
                FailEnd();
            CheckCharData(m_p + 9, m_p + 9 + close);
            m_p += 9 + close + 3;
        } else if (Peek("<!")) {
            Fail(m_p, QStringLiteral("markup declarations are not accepted"));
        } else {
            Tag child;
            ReadStartTag(child);
            if (!child.empty)
                SkipContent(child.name, depth + 1);
        }
    }
}

void XmlScanner::ParseXmlDeclaration()
{
    const char* at = m_p;
    m_p += 5;
    Tag decl;
    // Pseudo-attributes, read like attributes of a tag that ends in "?>".
    for (;;) {
        const char* before = m_p;
        SkipWs();
        if (Peek("?>")) {
            m_p += 2;
            break;
        }
        if (m_p >= m_end)
            FailEnd();
        if (m_p == before)
            Fail(m_p, QStringLiteral("malformed XML declaration"));
        Attr a;
        a.name = ReadName();
        ReadAttrValue(a);
        decl.attrs.push_back(a);
    }
    static const char* const kOrder[] = {"version", "encoding", "standalone"};
    int next = 0;
    for (const Attr& a : decl.attrs) {
        int which = -1;
        for (int i = next; i < 3 && which < 0; ++i)
            if (a.name == QByteArrayView(kOrder[i]))
                which = i;
        if (which < 0 || (next == 0 && which != 0))
            Fail(at, QStringLiteral("malformed XML declaration"));
        next = which + 1;
        const QString v = Text(a);
        if (which == 0 && !(v.startsWith(u"1.") && v.size() > 2 &&
                            std::all_of(v.begin() + 2, v.end(), [](QChar c) { return c >= u'0' && c <= u'9'; })))
            Fail(a.value, QStringLiteral("XML version %1 is not supported").arg(v));
        if (which == 1 && v.compare(u"UTF-8", Qt::CaseInsensitive) != 0)
            Fail(a.value, QStringLiteral("encoding %1 is not accepted; data packets are UTF-8").arg(v));
        if (which == 2 && v != u"yes" && v != u"no")
            Fail(a.value, QStringLiteral("malformed XML declaration"));
    }
    if (next == 0)
        Fail(at, QStringLiteral("the XML declaration has no version"));
}

void XmlScanner::SkipProlog()
{
    if (Peek("\xEF\xBB\xBF"))
        m_p += 3;
    if (Peek("<?xml") && m_end - m_p > 5 && (IsXmlWs(m_p[5]) || m_p[5] == '?'))
        ParseXmlDeclaration();
    SkipMisc(true);
}

} // namespace packet
