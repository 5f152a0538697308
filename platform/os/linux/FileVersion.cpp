#include "platform/os/FileVersion.h"

#include <QFile>

#include <cstring>
#include <elf.h>

namespace {

constexpr char kSectionName[] = ".note.kelt.version";
constexpr char kNoteOwner[] = "KeltAppClient";
constexpr quint32 kNoteType = 1;
// Section headers and the name table of any sane executable fit well below this.
constexpr qint64 kMaxTable = 16 * 1024 * 1024;

// Reads integers of the file's own byte order.
class TElfReader
{
public:
    TElfReader(QFile& file, bool bigEndian) : m_file(file), m_big(bigEndian) {}

    std::optional<QByteArray> Bytes(quint64 offset, quint64 size)
    {
        if (size > quint64(kMaxTable) || offset > quint64(m_file.size()) || size > quint64(m_file.size()) - offset)
            return std::nullopt;
        if (!m_file.seek(qint64(offset)))
            return std::nullopt;
        QByteArray data = m_file.read(qint64(size));
        if (quint64(data.size()) != size)
            return std::nullopt;
        return data;
    }
    quint64 Get(const QByteArray& data, qsizetype at, int width) const
    {
        quint64 v = 0;
        for (int i = 0; i < width; ++i) {
            const quint64 byte = quint8(data[at + (m_big ? i : width - 1 - i)]);
            v = (v << 8) | byte;
        }
        return v;
    }

private:
    QFile& m_file;
    bool m_big;
};

std::optional<TFileVersion> ParseNotes(const TElfReader& r, const QByteArray& notes)
{
    qsizetype at = 0;
    const auto align4 = [](quint64 n) { return (n + 3) & ~quint64(3); };
    while (at + 12 <= notes.size()) {
        const quint64 nameSize = r.Get(notes, at, 4);
        const quint64 descSize = r.Get(notes, at + 4, 4);
        const quint64 type = r.Get(notes, at + 8, 4);
        const quint64 nameAt = quint64(at) + 12;
        const quint64 descAt = nameAt + align4(nameSize);
        if (nameSize > quint64(notes.size()) || descSize > quint64(notes.size())
            || descAt + descSize > quint64(notes.size()))
            return std::nullopt;
        if (type == kNoteType && nameSize == sizeof kNoteOwner && descSize == 8
            && std::memcmp(notes.constData() + nameAt, kNoteOwner, sizeof kNoteOwner) == 0) {
            const qsizetype d = qsizetype(descAt);
            return TFileVersion{quint16(r.Get(notes, d, 2)), quint16(r.Get(notes, d + 2, 2)),
                                quint16(r.Get(notes, d + 4, 2)), quint16(r.Get(notes, d + 6, 2))};
        }
        at = qsizetype(descAt + align4(descSize));
    }
    return std::nullopt;
}

// Finds the note section by name through the section headers, which every
// linked executable keeps (stripping removes symbols, not this section).
std::optional<TFileVersion> ReadElfVersion(QFile& file)
{
    const QByteArray ident = file.read(EI_NIDENT);
    if (ident.size() != EI_NIDENT || std::memcmp(ident.constData(), ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const bool is64 = ident[EI_CLASS] == ELFCLASS64;
    if (!is64 && ident[EI_CLASS] != ELFCLASS32)
        return std::nullopt;
    if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB)
        return std::nullopt;
    TElfReader r(file, ident[EI_DATA] == ELFDATA2MSB);

    const auto header = r.Bytes(0, is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr));
    if (!header)
        return std::nullopt;
    const quint64 shoff = is64 ? r.Get(*header, 0x28, 8) : r.Get(*header, 0x20, 4);
    const quint64 shentsize = r.Get(*header, is64 ? 0x3A : 0x2E, 2);
    const quint64 shnum = r.Get(*header, is64 ? 0x3C : 0x30, 2);
    const quint64 shstrndx = r.Get(*header, is64 ? 0x3E : 0x32, 2);
    const quint64 minEntry = is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (shoff == 0 || shnum == 0 || shentsize < minEntry || shstrndx >= shnum)
        return std::nullopt;
    const auto table = r.Bytes(shoff, shnum * shentsize);
    if (!table)
        return std::nullopt;

    struct TSection
    {
        quint64 Name, Offset, Size;
        quint32 Type;
    };
    const auto section = [&](quint64 i) {
        const qsizetype at = qsizetype(i * shentsize);
        if (is64)
            return TSection{r.Get(*table, at, 4), r.Get(*table, at + 0x18, 8), r.Get(*table, at + 0x20, 8),
                            quint32(r.Get(*table, at + 4, 4))};
        return TSection{r.Get(*table, at, 4), r.Get(*table, at + 0x10, 4), r.Get(*table, at + 0x14, 4),
                        quint32(r.Get(*table, at + 4, 4))};
    };
    const TSection strings = section(shstrndx);
    const auto names = r.Bytes(strings.Offset, strings.Size);
    if (!names)
        return std::nullopt;
    for (quint64 i = 0; i < shnum; ++i) {
        const TSection s = section(i);
        if (s.Type == SHT_NOBITS || s.Name >= quint64(names->size()))
            continue;
        const char* name = names->constData() + s.Name;
        if (::strnlen(name, size_t(names->size() - qsizetype(s.Name))) != sizeof kSectionName - 1
            || std::memcmp(name, kSectionName, sizeof kSectionName - 1) != 0)
            continue;
        const auto notes = r.Bytes(s.Offset, s.Size);
        return notes ? ParseNotes(r, *notes) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::optional<TFileVersion> ReadFileVersion(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return ReadElfVersion(file);
}
