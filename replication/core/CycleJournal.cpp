#include "CycleJournal.h"

#include "platform/os/LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
const QString kWholeRun = QStringLiteral("-");
constexpr int kFields = 7;

// A field never splits its line or its neighbours.
QString Flat(const QString& text)
{
    QString out = text;
    for (QChar& c : out)
        if (c == u'\t' || c == u'\n' || c == u'\r')
            c = u' ';
    return out;
}

QString FirstLine(const QString& message)
{
    qsizetype end = 0;
    while (end < message.size() && message[end] != u'\r' && message[end] != u'\n')
        ++end;
    return message.left(end).trimmed();
}

bool Failing(TTableOutcome outcome)
{
    return outcome != TTableOutcome::Declined && outcome != TTableOutcome::NothingPending
           && outcome != TTableOutcome::Done;
}

// The journal's text; nothing when it cannot be read or a link stands at its
// name (no journal of this program).
std::optional<QString> ReadJournal(const QString& path)
{
    QFile file;
    if (!OpenNoFollow(file, path, TNoFollowOpen::Read))
        return std::nullopt;
    return QString::fromUtf8(file.readAll());
}

} // namespace

TChannelState ChannelStateOf(const TRunResult& run, bool endedWithError)
{
    if (endedWithError || run.Failed || !run.Accepted)
        return TChannelState::ChannelFailed;
    for (const TTableResult& t : run.Tables)
        if (Failing(t.Outcome) || t.RowsFailed > 0)
            return TChannelState::RowsFailed;
    return TChannelState::Clean;
}

QString JournalOutcomeText(TTableOutcome outcome)
{
    switch (outcome) {
    case TTableOutcome::Declined: return QStringLiteral("declined");
    case TTableOutcome::NothingPending: return QStringLiteral("nothing pending");
    case TTableOutcome::CountFailed: return QStringLiteral("count failed");
    case TTableOutcome::Done: return QStringLiteral("done");
    case TTableOutcome::Refused: return QStringLiteral("refused");
    case TTableOutcome::SettleFailed: return QStringLiteral("settle failed");
    case TTableOutcome::MonitorFailed: return QStringLiteral("monitoring failed");
    case TTableOutcome::NoProgress: return QStringLiteral("no progress");
    case TTableOutcome::Failed: return QStringLiteral("failed");
    }
    return QStringLiteral("failed");
}

QList<TJournalEntry> JournalEntriesOf(const QString& channel, const TRunResult& run,
                                      const QList<TRunLogEntry>& logged, const QDateTime& time,
                                      const std::optional<QString>& error)
{
    const QDateTime second = time.addMSecs(-time.time().msec());
    QList<TJournalEntry> entries;
    for (const TTableResult& t : run.Tables) {
        TJournalEntry e{second, channel, t.Table, t.Rows, JournalOutcomeText(t.Outcome)};
        if (t.RowsFailed > 0 && !Failing(t.Outcome))
            e.Outcome += QStringLiteral(", %1 row(s) failed").arg(t.RowsFailed);
        if (Failing(t.Outcome) || t.RowsFailed > 0) {
            for (const TRunLogEntry& l : logged) {
                if (l.Table.compare(t.Table, Qt::CaseInsensitive) == 0) {
                    e.LogFile = l.File;
                    e.Message = FirstLine(l.Message);
                    break;
                }
            }
        }
        entries.append(e);
    }

    const bool failed = error.has_value() || run.Failed || !run.Accepted;
    if (failed || run.Tables.isEmpty()) {
        TJournalEntry e{second, channel, kWholeRun, 0};
        if (!failed) {
            e.Outcome = QStringLiteral("nothing pending");
        } else {
            // Conecta_No_Banco answered false: the server turned the installation down.
            e.Outcome = !error && !run.Failed ? QStringLiteral("refused") : QStringLiteral("failed");
            if (!logged.isEmpty()) {
                e.LogFile = logged.last().File;
                e.Message = FirstLine(logged.last().Message);
            }
            if (error)
                e.Message = FirstLine(*error);
        }
        entries.append(e);
    }
    return entries;
}

QString TCycleJournal::FileName()
{
    return QStringLiteral("ciclos.log");
}

TCycleJournal::TCycleJournal(const QString& logFolder)
{
    QString folder = logFolder;
    if (!folder.isEmpty() && !folder.endsWith(u'/') && !folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    m_path = folder + FileName();
}

QString TCycleJournal::Format(const TJournalEntry& e)
{
    return QStringList{e.Time.toString(kTimeFormat), Flat(e.Channel), Flat(e.Table), QString::number(e.Rows),
                       Flat(e.Outcome), Flat(e.LogFile), Flat(e.Message)}
        .join(u'\t');
}

std::optional<TJournalEntry> TCycleJournal::Parse(QStringView line)
{
    if (line.endsWith(u'\r'))
        line.chop(1);
    const QList<QStringView> f = line.split(u'\t');
    if (f.size() != kFields)
        return std::nullopt;
    TJournalEntry e;
    e.Time = QDateTime::fromString(f[0].toString(), kTimeFormat);
    bool ok = false;
    e.Rows = f[3].toInt(&ok);
    if (!e.Time.isValid() || !ok || e.Rows < 0 || f[1].isEmpty() || f[2].isEmpty() || f[4].isEmpty())
        return std::nullopt;
    e.Channel = f[1].toString();
    e.Table = f[2].toString();
    e.Outcome = f[4].toString();
    e.LogFile = f[5].toString();
    e.Message = f[6].toString();
    return e;
}

bool TCycleJournal::Append(const QList<TJournalEntry>& entries)
{
    if (entries.isEmpty())
        return true;
    QByteArray bytes;
    for (const TJournalEntry& e : entries)
        bytes += Format(e).toUtf8() + '\n';
    QFile file;
    if (!OpenNoFollow(file, m_path, TNoFollowOpen::Append))
        return false;
    return file.write(bytes) == bytes.size() && file.flush();
}

QList<TJournalEntry> TCycleJournal::Read() const
{
    const std::optional<QString> text = ReadJournal(m_path);
    if (!text)
        return {};
    QList<TJournalEntry> entries;
    for (const QStringView line : QStringView(*text).split(u'\n', Qt::SkipEmptyParts))
        if (auto e = Parse(line))
            entries.append(*e);
    return entries;
}

bool TCycleJournal::Trim(int keepDays, const QDateTime& now)
{
    if (!QFileInfo::exists(m_path) && !QFileInfo(m_path).isSymLink())
        return true; // nothing written yet
    const std::optional<QString> text = ReadJournal(m_path);
    if (!text)
        return false;
    const QDateTime oldest = now.addDays(-keepDays);
    QByteArray kept;
    bool dropped = false;
    for (const QStringView line : QStringView(*text).split(u'\n', Qt::SkipEmptyParts)) {
        const auto e = Parse(line);
        if (!e || e->Time < oldest) {
            dropped = true;
            continue;
        }
        kept += line.toUtf8() + '\n';
    }
    if (!dropped)
        return true;
    // A new file renamed over the old one: a crash leaves either, never half.
    const QString scratch = m_path + QStringLiteral(".tmp");
    QFile::remove(scratch);
    QFile out;
    if (!OpenNoFollow(out, scratch, TNoFollowOpen::Create))
        return false;
    const bool written = out.write(kept) == kept.size() && out.flush();
    out.close();
    if (!written) {
        QFile::remove(scratch);
        return false;
    }
    if (!RenameOver(scratch, m_path)) {
        QFile::remove(scratch);
        return false;
    }
    return true;
}
