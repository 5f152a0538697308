#include "IniFile.h"

#include "platform/types/Exception.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

namespace {

// Blanks as the profile API trims them; 0x1A is the old end-of-file mark.
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\x1a';
}

void TrimRange(const QByteArray& raw, qsizetype& a, qsizetype& b)
{
    while (a < b && IsBlank(raw[a]))
        ++a;
    while (b > a && IsBlank(raw[b - 1]))
        --b;
}

// One pair of matching quotes around the whole value goes.
QString StripQuotes(const QString& value)
{
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

int HexDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - '0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - 'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - 'A' + 10;
    return -1;
}

bool HasLineBreak(const QString& s)
{
    return s.contains(u'\n') || s.contains(u'\r');
}

// Windows-1252 where it differs from Latin-1 (0x80-0x9F); the five unassigned
// bytes stand for the control characters of the same number, as Windows reads them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString FromCp1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const uchar c = uchar(bytes[i]);
        text[i] = QChar(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : char16_t(c));
    }
    return text;
}

// What the code page cannot hold becomes '?', as Windows writes it.
QByteArray ToCp1252(const QString& text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        char c = '?';
        if (u < 0x80 || (u >= 0xA0 && u < 0x100)) {
            c = char(u);
        } else {
            for (int k = 0; k < 32; ++k)
                if (kCp1252High[k] == u)
                    c = char(0x80 + k);
        }
        bytes[i] = c;
    }
    return bytes;
}

const QByteArray kUtf8Bom("\xEF\xBB\xBF");
const QByteArray kUtf16LeBom("\xFF\xFE");
const QByteArray kUtf16BeBom("\xFE\xFF");

} // namespace

TIniFile::TIniFile(QString path) : m_path(std::move(path))
{
    Load();
}

void TIniFile::Load()
{
    m_raw.clear();
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly))
        m_raw = file.readAll(); // an unreadable file reads as empty
    // A UTF-16 file ("Unicode" in Windows editors) is kept as UTF-8 while it is
    // read and written back in its own form; a file without a byte-order mark
    // is in the Windows code page.
    m_encoding = TEncoding::Ansi;
    if (m_raw.startsWith(kUtf8Bom)) {
        m_encoding = TEncoding::Utf8;
    } else if (m_raw.startsWith(kUtf16LeBom) || m_raw.startsWith(kUtf16BeBom)) {
        m_encoding = m_raw.startsWith(kUtf16LeBom) ? TEncoding::Utf16LE : TEncoding::Utf16BE;
        QStringDecoder decode(m_encoding == TEncoding::Utf16LE ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        m_raw = QString(decode(QByteArrayView(m_raw).sliced(2))).toUtf8();
    }
    Parse();
}

void TIniFile::Parse()
{
    m_lines.clear();
    const qsizetype n = m_raw.size();
    qsizetype pos = m_encoding == TEncoding::Utf8 ? kUtf8Bom.size() : 0;
    int currentSection = -1;
    while (pos < n) {
        Line line;
        line.begin = pos;
        const qsizetype lf = m_raw.indexOf('\n', pos);
        line.end = lf < 0 ? n : lf;
        line.next = lf < 0 ? n : lf + 1;
        if (line.end > line.begin && m_raw[line.end - 1] == '\r')
            --line.end; // CR of a CR LF pair belongs to the line break
        pos = line.next;

        qsizetype a = line.begin, b = line.end;
        TrimRange(m_raw, a, b);
        if (a < b && m_raw[a] == '[') {
            qsizetype close = b - 1;
            while (close > a && m_raw[close] != ']')
                --close;
            if (close > a) {
                qsizetype na = a + 1, nb = close;
                TrimRange(m_raw, na, nb);
                line.kind = Line::Section;
                line.name = Decode(na, nb);
                currentSection = int(m_lines.size());
                m_lines.append(line);
                continue;
            }
            // A '[' without ']' is no header; it is read like any other line.
        }
        line.owner = currentSection;
        if (a < b && m_raw[a] != ';') {
            const qsizetype at = QByteArrayView(m_raw.constData() + a, b - a).indexOf('=');
            if (at >= 0) {
                const qsizetype eq = a + at;
                qsizetype ka = a, kb = eq;
                TrimRange(m_raw, ka, kb);
                qsizetype va = eq + 1, vb = b;
                TrimRange(m_raw, va, vb);
                line.kind = Line::Key;
                line.name = Decode(ka, kb);
                line.value = Decode(va, vb);
                line.valueBegin = va;
                line.valueEnd = vb;
            }
        }
        m_lines.append(line);
    }
}

QString TIniFile::Decode(qsizetype begin, qsizetype end) const
{
    const QByteArrayView bytes(m_raw.constData() + begin, end - begin);
    return m_encoding == TEncoding::Ansi ? FromCp1252(bytes) : QString::fromUtf8(bytes);
}

QByteArray TIniFile::Encode(const QString& text) const
{
    return m_encoding == TEncoding::Ansi ? ToCp1252(text) : text.toUtf8();
}

QByteArray TIniFile::LineBreak() const
{
    for (const Line& line : m_lines) {
        if (line.next > line.end)
            return m_raw[line.end] == '\r' ? QByteArray("\r\n") : QByteArray("\n");
    }
    return QByteArray("\r\n");
}

int TIniFile::FindSection(QStringView section) const
{
    // The first header of that name is the section; keys under a later header
    // of the same name are never seen, as with the profile API.
    for (int i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Line::Section && QStringView(line.name).compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int TIniFile::FindKey(int sectionLine, QStringView key) const
{
    for (int i = sectionLine + 1; i < m_lines.size() && m_lines[i].kind != Line::Section; ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Line::Key && QStringView(line.name).compare(key, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString TIniFile::ReadString(QStringView section, QStringView key, const QString& defaultValue) const
{
    const int s = FindSection(section);
    if (s < 0)
        return defaultValue;
    const int k = FindKey(s, key);
    if (k < 0)
        return defaultValue;
    return StripQuotes(m_lines[k].value);
}

qint32 TIniFile::ReadInteger(QStringView section, QStringView key, qint32 defaultValue) const
{
    const int s = FindSection(section);
    if (s < 0)
        return defaultValue;
    const int k = FindKey(s, key);
    if (k < 0)
        return defaultValue;
    return ParseInteger(StripQuotes(m_lines[k].value), defaultValue);
}

bool TIniFile::SectionExists(QStringView section) const
{
    const int s = FindSection(section);
    if (s < 0)
        return false;
    for (int i = s + 1; i < m_lines.size() && m_lines[i].kind != Line::Section; ++i) {
        if (m_lines[i].kind == Line::Key)
            return true;
    }
    return false;
}

QStringList TIniFile::ReadSection(QStringView section) const
{
    QStringList keys;
    const int s = FindSection(section);
    if (s < 0)
        return keys;
    for (int i = s + 1; i < m_lines.size() && m_lines[i].kind != Line::Section; ++i) {
        if (m_lines[i].kind == Line::Key)
            keys.append(m_lines[i].name);
    }
    return keys;
}

bool TIniFile::ValueExists(QStringView section, QStringView key) const
{
    const int s = FindSection(section);
    return s >= 0 && FindKey(s, key) >= 0;
}

qint32 TIniFile::ParseInteger(QStringView text, qint32 defaultValue)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == u'$') {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= text.size())
        return defaultValue;

    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const int digit = hex ? HexDigit(text[i]) : (text[i] >= u'0' && text[i] <= u'9' ? text[i].unicode() - '0' : -1);
        if (digit < 0)
            return defaultValue;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0xFFFFFFFFLL)
            return defaultValue;
    }
    if (hex) {
        // Hexadecimal text spells the 32 bits: $FFFFFFFF is -1.
        const qint32 bits = qint32(quint32(value));
        return negative ? qint32(0u - quint32(bits)) : bits;
    }
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        return defaultValue;
    return qint32(value);
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    if (section.isEmpty() || HasLineBreak(section) || section.contains(u']'))
        throw Exception(QStringLiteral("Invalid INI section name \"%1\"").arg(section));
    if (key.trimmed().isEmpty() || HasLineBreak(key) || key.contains(u'=') || key.trimmed().startsWith(u'[')
        || key.trimmed().startsWith(u';'))
        throw Exception(QStringLiteral("Invalid INI key name \"%1\"").arg(key));
    if (HasLineBreak(value))
        throw Exception(QStringLiteral("INI value of key \"%1\" holds a line break").arg(key));

    const QByteArray eol = LineBreak();
    QByteArray bytes;
    const int s = FindSection(section);
    if (s >= 0) {
        const int k = FindKey(s, key);
        if (k >= 0) {
            // Only the value's own bytes change; blanks and the rest of the line stay.
            const Line& line = m_lines[k];
            bytes = m_raw.left(line.valueBegin) + Encode(value) + m_raw.mid(line.valueEnd);
        } else {
            // After the last non-blank line of the section, so that a blank line
            // separating it from the next section stays where it is.
            int last = s;
            for (int i = s + 1; i < m_lines.size() && m_lines[i].kind != Line::Section; ++i) {
                qsizetype a = m_lines[i].begin, b = m_lines[i].end;
                TrimRange(m_raw, a, b);
                if (a < b)
                    last = i;
            }
            const Line& after = m_lines[last];
            const QByteArray entry = Encode(key) + '=' + Encode(value);
            // The last line of the file may end without a line feed (nothing,
            // or a lone CR, which does not end a line): the entry needs one first.
            const bool endsWithLf = after.next > after.end && m_raw[after.next - 1] == '\n';
            if (!endsWithLf)
                bytes = m_raw + eol + entry;
            else
                bytes = m_raw.left(after.next) + entry + eol + m_raw.mid(after.next);
        }
    } else {
        bytes = m_raw;
        if (!bytes.isEmpty() && !bytes.endsWith('\n'))
            bytes += eol;
        bytes += '[' + Encode(section) + ']' + eol + Encode(key) + '=' + Encode(value) + eol;
    }
    Save(bytes);
    m_raw = bytes;
    Parse();
}

void TIniFile::WriteInteger(const QString& section, const QString& key, qint32 value)
{
    WriteString(section, key, QString::number(value));
}

void TIniFile::Save(const QByteArray& content)
{
    QByteArray bytes = content;
    if (m_encoding == TEncoding::Utf16LE || m_encoding == TEncoding::Utf16BE) {
        const bool le = m_encoding == TEncoding::Utf16LE;
        QStringEncoder encode(le ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE);
        bytes = (le ? kUtf16LeBom : kUtf16BeBom) + QByteArray(encode(QString::fromUtf8(content)));
    }
    QSaveFile file(m_path);
    file.setDirectWriteFallback(true);
    // Unbuffered, so that a full disk fails the write itself: a buffered write
    // lost at commit would replace the file with an empty one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size()
        || !file.commit())
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(m_path, file.errorString()));
}
