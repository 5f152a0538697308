#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

// An INI file read and written with the semantics of the Windows profile API:
// sections and keys matched without regard to case; a value is the text after
// the first '=', without surrounding blanks, losing one pair of matching quotes;
// a section counts as present only when it holds at least one key. A missing or
// unreadable file reads as empty. Reading never creates or changes the file.
// A file with a UTF-8 or UTF-16 byte-order mark is read and written in that
// form; any other in the Windows code page (cp1252), as Windows reads it.
//
// The file is read once, at construction; callers that must see edits create a
// new object for every read (the configuration is never cached).
class TIniFile
{
public:
    explicit TIniFile(QString path);

    const QString& FileName() const { return m_path; }

    QString ReadString(QStringView section, QStringView key, const QString& defaultValue) const;
    // Decimal with optional sign, or hexadecimal after "0x"/"$"; default otherwise.
    qint32 ReadInteger(QStringView section, QStringView key, qint32 defaultValue) const;
    // True when the section holds at least one key.
    bool SectionExists(QStringView section) const;
    QStringList ReadSection(QStringView section) const; // key names in file order
    bool ValueExists(QStringView section, QStringView key) const;

    // Writes one key: replaces the value of an existing key in place, else adds
    // the key at the end of its section, else appends the section. Every other
    // byte of the file stays as it was. Raises EFCreateError when the file cannot
    // be written.
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, qint32 value);

    // Integer reading rule on its own, for tests and other readers.
    static qint32 ParseInteger(QStringView text, qint32 defaultValue);

private:
    // One physical line of the file, located by byte offsets into m_raw.
    struct Line
    {
        enum Kind { Other, Section, Key };
        qsizetype begin = 0;      // first byte of the line
        qsizetype end = 0;        // end of the content, before the line break
        qsizetype next = 0;       // first byte of the following line
        qsizetype valueBegin = 0; // Key: first byte of the trimmed value
        qsizetype valueEnd = 0;   // Key: end of the trimmed value
        Kind kind = Other;
        QString name;             // section or key name, trimmed
        QString value;            // Key: trimmed value, quotes still on
        int owner = -1;           // index of the section header line above; -1 none
    };
    void Load();
    void Parse();
    int FindSection(QStringView section) const;            // header line index or -1
    int FindKey(int sectionLine, QStringView key) const;   // key line index or -1
    QString Decode(qsizetype begin, qsizetype end) const;
    QByteArray Encode(const QString& text) const;
    QByteArray LineBreak() const;
    void Save(const QByteArray& bytes);

    QString m_path;
    // How the file is stored: the Windows code page (cp1252) without a
    // byte-order mark, else UTF-8 or UTF-16 after their mark.
    enum class TEncoding
    {
        Ansi,
        Utf8,
        Utf16LE,
        Utf16BE,
    };

    QByteArray m_raw; // file bytes as read; a UTF-16 file's text as UTF-8
    QList<Line> m_lines;
    TEncoding m_encoding = TEncoding::Ansi;
};
