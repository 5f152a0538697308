#include "CycleJournal.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_UNIX
// Opens the journal without following a link at its name: a link goes, and
// only a new file may take its place.
int OpenNoFollow(const QString& path, int flags)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP && (flags & O_CREAT)) {
        if (::unlink(name.constData()) == 0)
            fd = ::open(name.constData(), flags | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    return fd;
}
#endif

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
#ifdef Q_OS_UNIX
    const int fd = OpenNoFollow(m_path, O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
#else
    file.setFileName(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
#endif
    return file.write(bytes) == bytes.size() && file.flush();
}

QList<TJournalEntry> TCycleJournal::Read() const
{
    QFile file;
#ifdef Q_OS_UNIX
    // A link at the name is no journal of this program.
    const int fd = OpenNoFollow(m_path, O_RDONLY);
    if (fd < 0)
        return {};
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
#else
    file.setFileName(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
#endif
    const QString text = QString::fromUtf8(file.readAll());
    QList<TJournalEntry> entries;
    for (const QStringView line : QStringView(text).split(u'\n', Qt::SkipEmptyParts))
        if (auto e = Parse(line))
            entries.append(*e);
    return entries;
}

bool TCycleJournal::Trim(int keepDays, const QDateTime& now)
{
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = OpenNoFollow(m_path, O_RDONLY);
    if (fd < 0)
        return errno == ENOENT;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
#else
    file.setFileName(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return !file.exists();
#endif
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    const QDateTime oldest = now.addDays(-keepDays);
    QByteArray kept;
    bool dropped = false;
    for (const QStringView line : QStringView(text).split(u'\n', Qt::SkipEmptyParts)) {
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
#ifdef Q_OS_UNIX
    const int wfd = ::open(QFile::encodeName(scratch).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0644);
    if (wfd < 0)
        return false;
    if (!out.open(wfd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(wfd);
        return false;
    }
#else
    out.setFileName(scratch);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
#endif
    const bool written = out.write(kept) == kept.size() && out.flush();
    out.close();
    if (!written) {
        QFile::remove(scratch);
        return false;
    }
#ifdef Q_OS_UNIX
    // rename() replaces the name itself, a link there included, never its target.
    if (::rename(QFile::encodeName(scratch).constData(), QFile::encodeName(m_path).constData()) != 0) {
        QFile::remove(scratch);
        return false;
    }
    return true;
#else
    QFile::remove(m_path);
    return QFile::rename(scratch, m_path);
#endif
}
