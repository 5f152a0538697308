#include "UpdateService.h"

#include "platform/types/Exception.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// One number of a client version text: exactly two digits, or more digits
// without a leading zero (what "%.2d" writes), at most 65535.
std::optional<quint16> Field(QStringView digits)
{
    if (digits.size() < 2 || (digits.size() > 2 && digits[0] == u'0'))
        return std::nullopt;
    for (QChar c : digits)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    bool ok = false;
    const uint n = digits.toUInt(&ok);
    if (!ok || n > 65535)
        return std::nullopt;
    return quint16(n);
}

bool Split(QStringView text, int field, std::array<quint16, 4>& out)
{
    if (field == 3) {
        const auto n = Field(text);
        if (n)
            out[3] = *n;
        return n.has_value();
    }
    // Shortest first: the leading numbers of a version are the small ones.
    for (qsizetype len = 2; len <= 5 && len <= text.size() - 2 * (3 - field); ++len) {
        const auto n = Field(text.left(len));
        if (n && Split(text.mid(len), field + 1, out)) {
            out[field] = *n;
            return true;
        }
    }
    return false;
}

} // namespace

QString TPublishedUpdate::VersionText() const
{
    return QStringLiteral("%1.%2.%3.%4").arg(Version[0]).arg(Version[1]).arg(Version[2]).arg(Version[3]);
}

QString TUpdateService::FileFor(const QString& databasePath)
{
    return databasePath + QStringLiteral(".update.json");
}

std::optional<std::array<quint16, 4>> TUpdateService::ParseClientVersion(const QString& text)
{
    std::array<quint16, 4> v{};
    if (text.size() < 8 || !Split(text, 0, v))
        return std::nullopt;
    return v;
}

std::optional<std::array<quint16, 4>> TUpdateService::ParseDottedVersion(const QString& text)
{
    const QStringList parts = text.trimmed().split(u'.');
    if (parts.size() != 4)
        return std::nullopt;
    std::array<quint16, 4> v{};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const uint n = parts[i].toUInt(&ok);
        if (!ok || n > 65535 || parts[i].isEmpty() || !parts[i][0].isDigit())
            return std::nullopt;
        v[i] = quint16(n);
    }
    return v;
}

std::optional<TPublishedUpdate> TUpdateService::Published() const
{
    QFile f(m_file);
    if (!f.exists())
        return std::nullopt;
    if (!f.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("Cannot read the published update %1: %2").arg(m_file, f.errorString()));
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    const auto version = ParseDottedVersion(o.value("version").toString());
    const QString url = o.value("url").toString();
    if (!version || url.isEmpty())
        throw Exception(QStringLiteral("The published update %1 is damaged; publish it again").arg(m_file));
    return TPublishedUpdate{*version, url};
}

void TUpdateService::Publish(const QString& version, const QString& url)
{
    const auto v = ParseDottedVersion(version);
    if (!v)
        throw Exception(
            QStringLiteral("Invalid version '%1': four numbers from 0 to 65535, as in 2.1.0.15").arg(version));
    if (url.trimmed().isEmpty() || url.contains(u'|') || url.contains(u'\n') || url.contains(u'\r'))
        throw Exception(QStringLiteral("Invalid installer address '%1': not empty, no \"|\", one line").arg(url));
    const TPublishedUpdate p{*v, url.trimmed()};
    QSaveFile f(m_file);
    const QByteArray text =
        QJsonDocument(QJsonObject{{"version", p.VersionText()}, {"url", p.Url}}).toJson(QJsonDocument::Indented);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size() || !f.commit())
        throw Exception(QStringLiteral("Cannot write the published update %1: %2").arg(m_file, f.errorString()));
}

void TUpdateService::Withdraw()
{
    if (QFile::exists(m_file) && !QFile::remove(m_file))
        throw Exception(QStringLiteral("Cannot remove the published update %1").arg(m_file));
}

QString TUpdateService::ProcuraAtualizacao(const QString& executable, const QString& version) const
{
    const std::optional<TPublishedUpdate> published = Published();
    if (!published)
        return QStringLiteral("0");
    const auto client = ParseClientVersion(version);
    if (client && *client < published->Version)
        return QStringLiteral("1|") + published->Url;
    return QStringLiteral("0");
}

QJsonValue TUpdateService::Serve(const QString& method, const QJsonArray& args, QString& outcome) const
{
    if (method != QLatin1String("ProcuraAtualizacao"))
        throw Exception(QStringLiteral("%1 has no method %2").arg(QLatin1String(ObjectName), method));
    if (args.size() < 2)
        throw Exception(QStringLiteral("ProcuraAtualizacao expects 2 argument(s), got %1").arg(args.size()));
    const QString executable = args[0].toString();
    const QString version = args[1].toString();
    const QString answer = ProcuraAtualizacao(executable, version);
    outcome = QStringLiteral("%1 %2 -> %3").arg(executable, version.isEmpty() ? QStringLiteral("(no version)") : version,
                                                answer);
    return answer;
}
