// TDataPacket::FromXml: a strict reader for the one XML vocabulary of the data
// packet, working on the UTF-8 bytes. It accepts only well-formed XML (tags
// nested and matched, attributes quoted and unique, references and characters
// valid, UTF-8 valid) and refuses the whole packet at the first fault.
// Rows are decoded straight into the column store; the predictable attribute
// order of a row makes the field lookup a single comparison in the usual case.
// The XML itself is read by XmlScanner, each value's text by PacketValueText;
// this file is the packet's grammar.

#include "DataPacket.h"

#include "PacketStore.h"
#include "PacketValueText.h"
#include "XmlScanner.h"

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

using namespace packet;

namespace {

struct FieldInfo
{
    std::string name; // UTF-8, as rows spell the attribute
    CellFormat format;
};

// The packet's elements, read with the scanner's cursor: DATAPACKET holds
// METADATA (FIELDS of FIELD, and PARAMS, which are skipped) and ROWDATA of ROW.
class Reader : private XmlScanner
{
public:
    using XmlScanner::XmlScanner;

    packet::Store Parse();

private:
    [[noreturn]] void BadValue(int field, qsizetype row, const char* b, const char* e, const QString& expected) const;

    void ParseMetadata(const Tag& t);
    void ParseFields(const Tag& t);
    void ParseField(const Tag& t);
    void ParseRowData(const Tag& t);
    void ParseRow();
    void ParseValue(int field, qsizetype row, const char* b, const char* e);
    int Lookup(QByteArrayView name) const;

    TFieldDefs m_defs;
    std::vector<FieldInfo> m_info;
    std::unordered_map<std::string_view, int> m_byName;
    std::unique_ptr<packet::Store> m_data;
};

void Reader::BadValue(int field, qsizetype row, const char* b, const char* e, const QString& expected) const
{
    QString shown = QString::fromUtf8(b, qMin<qsizetype>(e - b, 40));
    if (e - b > 40)
        shown += u"...";
    throw EPacketError(QStringLiteral("Invalid data packet: row %1, field '%2': '%3' is not %4")
                           .arg(row + 1)
                           .arg(m_defs[field].Name, shown, expected));
}

packet::Store Reader::Parse()
{
    if (m_begin == m_end)
        throw EPacketError(QStringLiteral("Invalid data packet: the text is empty"));
    SkipProlog();
    if (m_p >= m_end)
        Fail(m_p, QStringLiteral("there is no DATAPACKET element"));
    if (*m_p != '<' || Peek("<!"))
        Fail(m_p, QStringLiteral("text before the DATAPACKET element"));
    Tag root;
    ReadStartTag(root);
    if (root.name != "DATAPACKET")
        Fail(root.at, QStringLiteral("the document is a <%1>, not a DATAPACKET").arg(QString::fromUtf8(root.name)));
    bool metadata = false;
    bool rowdata = false;
    ForEachChild(root, [&](const Tag& t) {
        if (t.name == "METADATA" && !metadata) {
            ParseMetadata(t);
            metadata = true;
        } else if (t.name == "ROWDATA" && metadata && !rowdata) {
            ParseRowData(t);
            rowdata = true;
        } else {
            Fail(t.at, QStringLiteral("unexpected <%1> in DATAPACKET").arg(QString::fromUtf8(t.name)));
        }
    });
    if (!metadata)
        Fail(root.at, QStringLiteral("the packet has no METADATA"));
    SkipMisc(false);
    if (m_p < m_end)
        Fail(m_p, QStringLiteral("content after the end of the DATAPACKET element"));
    if (!m_data)
        return packet::Store(m_defs);
    return std::move(*m_data);
}

void Reader::ParseMetadata(const Tag& t)
{
    bool fields = false;
    bool params = false;
    ForEachChild(t, [&](const Tag& c) {
        if (c.name == "FIELDS" && !fields) {
            ParseFields(c);
            fields = true;
        } else if (c.name == "PARAMS" && !params) {
            if (!c.empty)
                SkipContent(c.name, 1);
            params = true;
        } else {
            Fail(c.at, QStringLiteral("unexpected <%1> in METADATA").arg(QString::fromUtf8(c.name)));
        }
    });
    if (!fields)
        Fail(t.at, QStringLiteral("METADATA has no FIELDS"));
}

void Reader::ParseFields(const Tag& t)
{
    ForEachChild(t, [&](const Tag& c) {
        if (c.name != "FIELD")
            Fail(c.at, QStringLiteral("unexpected <%1> in FIELDS").arg(QString::fromUtf8(c.name)));
        ParseField(c);
    });
    for (size_t i = 0; i < m_info.size(); ++i)
        m_byName.emplace(m_info[i].name, int(i));
}

void Reader::ParseField(const Tag& t)
{
    TFieldDef def;
    FieldInfo info;
    const Attr* name = Find(t, "attrname");
    const Attr* type = Find(t, "fieldtype");
    if (!name)
        Fail(t.at, QStringLiteral("a FIELD has no attrname"));
    def.Name = Text(*name);
    const QString fieldName = def.Name;
    info.name = def.Name.toStdString();
    if (!IsXmlName(QByteArrayView(info.name.data(), qsizetype(info.name.size()))))
        Fail(name->value, QStringLiteral("field name '%1' cannot name a row attribute").arg(fieldName));
    for (const TFieldDef& other : std::as_const(m_defs))
        if (other.Name.compare(def.Name, Qt::CaseInsensitive) == 0)
            Fail(t.at, QStringLiteral("field '%1' is defined twice").arg(fieldName));
    if (!type)
        Fail(t.at, QStringLiteral("field '%1' has no fieldtype").arg(fieldName));

    auto number = [&](const char* attr, int max) -> std::optional<int> {
        const Attr* a = Find(t, attr);
        if (!a)
            return std::nullopt;
        const QString v = Text(*a);
        bool ok = false;
        const int n = v.toInt(&ok);
        if (!ok || n < 0 || n > max || v.startsWith(u'+'))
            Fail(a->value, QStringLiteral("%1 of field '%2' is not a valid number: '%3'").arg(QLatin1String(attr), fieldName, v));
        return n;
    };
    auto flag = [&](const char* attr) -> bool {
        const Attr* a = Find(t, attr);
        if (!a)
            return false;
        const QString v = Text(*a);
        if (v != u"true" && v != u"false")
            Fail(a->value, QStringLiteral("%1 of field '%2' must be true or false, not '%3'").arg(QLatin1String(attr), fieldName, v));
        return v == u"true";
    };

    const QString ft = Text(*type);
    const Attr* subtypeAttr = Find(t, "SUBTYPE");
    const QString subtype = subtypeAttr ? Text(*subtypeAttr) : QString();
    auto badSubtype = [&]() {
        Fail(subtypeAttr->value, QStringLiteral("field '%1' has unknown SUBTYPE '%2'").arg(fieldName, subtype));
    };
    if (ft == u"i2" || ft == u"i4" || ft == u"i8") {
        def.DataType = ft == u"i2" ? TFieldType::ftSmallint : ft == u"i4" ? TFieldType::ftInteger : TFieldType::ftLargeint;
    } else if (ft == u"string") {
        def.DataType = TFieldType::ftString;
        if (subtypeAttr) {
            if (subtype != u"FixedChar")
                badSubtype();
            def.DataType = TFieldType::ftFixedChar;
        }
        def.Size = number("WIDTH", 32767).value_or(0);
    } else if (ft == u"fixed") {
        def.DataType = TFieldType::ftFMTBcd;
        def.Size = number("WIDTH", 18).value_or(0);
        def.Scale = number("DECIMALS", 18).value_or(0);
    } else if (ft == u"date") {
        def.DataType = TFieldType::ftDate;
    } else if (ft == u"time") {
        def.DataType = TFieldType::ftTime;
    } else if (ft == u"dateTime") {
        def.DataType = TFieldType::ftTimeStamp;
    } else if (ft == u"bin.hex") {
        def.DataType = TFieldType::ftBlob;
        if (subtypeAttr) {
            if (subtype == u"Text")
                def.DataType = TFieldType::ftMemo;
            else if (subtype != u"Binary")
                badSubtype();
        }
    } else {
        Fail(type->value, QStringLiteral("field '%1' has unknown fieldtype '%2'").arg(fieldName, ft));
    }
    def.Required = flag("required");
    def.ReadOnly = flag("readonly");

    bool provFlags = false;
    ForEachChild(t, [&](const Tag& c) {
        if (c.name != "PARAM")
            Fail(c.at, QStringLiteral("unexpected <%1> in field '%2'").arg(QString::fromUtf8(c.name), fieldName));
        if (!c.empty) {
            SkipMisc(false);
            ExpectElementOrEnd();
            if (!Peek("</"))
                Fail(m_p, QStringLiteral("unexpected element in a PARAM of field '%1'").arg(fieldName));
            ReadEndTag(c.name);
        }
        const Attr* pn = Find(c, "Name");
        if (!pn || Text(*pn) != u"PROVFLAGS")
            return; // other field parameters carry nothing this program uses
        const Attr* pv = Find(c, "Value");
        const QString v = pv ? Text(*pv) : QString();
        bool ok = false;
        const int n = v.toInt(&ok);
        if (provFlags || !ok || n < 0 || n > 7 || v.startsWith(u'+'))
            Fail(c.at, QStringLiteral("field '%1' has invalid PROVFLAGS '%2'").arg(fieldName, v));
        def.ProviderFlags = TProviderFlags(n);
        provFlags = true;
    });
    info.format.type = def.DataType;
    info.format.width = def.Size;
    info.format.scale = def.Scale;
    m_defs.append(std::move(def));
    m_info.push_back(std::move(info));
}

int Reader::Lookup(QByteArrayView name) const
{
    const auto it = m_byName.find(std::string_view(name.data(), size_t(name.size())));
    return it == m_byName.end() ? -1 : it->second;
}

void Reader::ParseRowData(const Tag& t)
{
    m_data = std::make_unique<packet::Store>(m_defs);
    if (t.empty)
        return;
    // Count the rows ahead so that the number columns never reallocate; only
    // a hint (a "<ROW" inside a comment counts too), and bounded by the text.
    qsizetype rows = 0;
    for (const char* p = m_p;;) {
        p = static_cast<const char*>(memmem(p, size_t(m_end - p), "<ROW", 4));
        if (!p)
            break;
        ++rows;
        p += 4;
    }
    if (rows * qsizetype(m_info.size()) * 8 <= (m_end - m_p) * 4)
        for (auto& c : m_data->columns)
            c.Reserve(rows);

    for (;;) {
        while (m_p < m_end && IsXmlWs(*m_p))
            ++m_p;
        if (m_end - m_p < 5)
            FailEnd();
        if (m_p[0] != '<')
            Fail(m_p, QStringLiteral("text is not allowed here"));
        if (m_p[1] == 'R' && m_p[2] == 'O' && m_p[3] == 'W' && (IsXmlWs(m_p[4]) || m_p[4] == '/' || m_p[4] == '>')) {
            m_p += 4;
            ParseRow();
        } else if (m_p[1] == '/') {
            ReadEndTag(t.name);
            return;
        } else if (Peek("<!--")) {
            SkipComment();
        } else if (Peek("<?")) {
            SkipPI();
        } else {
            ExpectElementOrEnd();
            Tag c;
            ReadStartTag(c);
            Fail(c.at, QStringLiteral("unexpected <%1> in ROWDATA").arg(QString::fromUtf8(c.name)));
        }
    }
}

inline void Reader::ParseValue(int f, qsizetype row, const char* b, const char* e)
{
    const CellFormat& format = m_info[size_t(f)].format;
    const CellFault fault = DecodeCell(format, m_data->columns[size_t(f)], row, b, e);
    if (fault != CellFault::None) [[unlikely]]
        BadValue(f, row, b, e, ExpectedText(fault, format));
}

// After "<ROW": the attributes, then "/>" or ">" ... "</ROW>".
void Reader::ParseRow()
{
    packet::Store& data = *m_data;
    const qsizetype row = data.rows;
    if (row >= std::numeric_limits<int>::max())
        Fail(m_p, QStringLiteral("too many rows"));
    data.OpenRow();
    const int fieldCount = int(m_info.size());
    int next = 0;
    for (;;) {
        const char* before = m_p;
        while (m_p < m_end && IsXmlWs(*m_p))
            ++m_p;
        if (m_p >= m_end)
            FailEnd();
        const char c = *m_p;
        if (c == '/') {
            if (m_p + 1 >= m_end)
                FailEnd();
            if (m_p[1] != '>')
                Fail(m_p, QStringLiteral("'/>' expected"));
            m_p += 2;
            return;
        }
        if (c == '>') {
            ++m_p;
            SkipMisc(false);
            ExpectElementOrEnd();
            if (!Peek("</"))
                Fail(m_p, QStringLiteral("unexpected element inside ROW %1").arg(row + 1));
            ReadEndTag("ROW");
            return;
        }
        if (m_p == before)
            Fail(m_p, QStringLiteral("white space expected before attribute"));
        const char* nameBegin = m_p;
        if (!IsXmlNameStart(c))
            Fail(m_p, QStringLiteral("an attribute name was expected"));
        while (m_p < m_end && IsXmlNameChar(*m_p))
            ++m_p;
        const QByteArrayView name(nameBegin, m_p - nameBegin);

        int f = -1;
        if (next < fieldCount) {
            const std::string& expected = m_info[size_t(next)].name;
            if (qsizetype(expected.size()) == name.size() && std::memcmp(expected.data(), nameBegin, expected.size()) == 0)
                f = next;
        }
        if (f < 0)
            f = Lookup(name);
        Attr a{name, nullptr, nullptr, true};
        ReadAttrValue(a);
        if (f < 0) {
            if (!ValidUtf8(name.data(), name.data() + name.size()))
                Fail(nameBegin, QStringLiteral("the name is not valid UTF-8"));
            if (!a.plain)
                Normalized(a.value, a.valueEnd); // a malformed value is the first fault
            throw EPacketError(QStringLiteral("Invalid data packet: row %1 has attribute '%2', which names no field")
                                   .arg(row + 1)
                                   .arg(QString::fromUtf8(name)));
        }
        next = f + 1;
        if (data.columns[size_t(f)].IsPresent(row))
            Fail(nameBegin, QStringLiteral("attribute %1 appears twice in row %2").arg(QString::fromUtf8(name)).arg(row + 1));
        if (a.plain) {
            ParseValue(f, row, a.value, a.valueEnd);
        } else {
            const std::string_view v = Normalized(a.value, a.valueEnd);
            ParseValue(f, row, v.data(), v.data() + v.size());
        }
    }
}

} // namespace

TDataPacket TDataPacket::FromXml(QByteArrayView xml)
{
    TDataPacket result;
    result.d = std::make_shared<Data>(Reader(xml).Parse());
    return result;
}
