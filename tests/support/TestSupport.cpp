#include "TestSupport.h"

#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

TTempFolder::TTempFolder()
{
    if (!m_dir.isValid())
        throw std::runtime_error("cannot create a temporary folder");
}

QString TTempFolder::Path() const { return QDir::toNativeSeparators(m_dir.path()) + QDir::separator(); }

QString TTempFolder::File(const QString& name) const { return Path() + name; }

void TTempFolder::Write(const QString& name, const QByteArray& text) const
{
    QFile f(File(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        throw std::runtime_error(("cannot write " + File(name)).toStdString());
}

QByteArray TTempFolder::Read(const QString& name) const
{
    QFile f(File(name));
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error(("cannot read " + File(name)).toStdString());
    return f.readAll();
}

QString TestServerAddress() { return qEnvironmentVariable("KELT_TEST_FB_SERVER").trimmed(); }

bool DatabasesOnServer() { return qEnvironmentVariable("KELT_TEST_DATABASE_TIER") == QLatin1String("server"); }

bool FbServerRequired() { return qEnvironmentVariable("KELT_REQUIRE_FB_SERVER") == QLatin1String("1"); }

QString DatabaseConnectionString(const QString& filePath, bool onServer)
{
    if (!onServer)
        return filePath;
    const QString server = TestServerAddress();
    if (server.isEmpty())
        throw std::runtime_error("databases on the server tier, but KELT_TEST_FB_SERVER names no Firebird server");
    // The server resolves a relative path against its own folder.
    return server + u':' + QFileInfo(filePath).absoluteFilePath();
}

namespace {

void ConfigureLocal(TSQLConnection& c, const QString& path)
{
    c.Params().Clear();
    c.Params().Add(QStringLiteral("DataBase"), path);
    c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    c.Params().Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
    c.SetLoginPrompt(false);
}

} // namespace

TTestDatabase::TTestDatabase(const TTableDefs& tables, bool onServer)
    : m_filePath(m_folder.File(QStringLiteral("AGENTE.KELT"))),
      m_path(DatabaseConnectionString(m_filePath, onServer)),
      m_connection(std::make_unique<TSQLConnection>())
{
    BuildDatabase(m_path, tables, /*forcedWrites=*/false);
    ConfigureLocal(*m_connection, m_path);
}

TTestDatabase::~TTestDatabase() { m_connection->Close(); }

void TTestDatabase::Exec(const QString& sql)
{
    TSQLConnection c;
    ConfigureLocal(c, m_path);
    {
        TSQLDataSet ds(&c);
        ds.SetCommandText(sql);
        ds.ExecSQL();
    }
    c.Close();
}

TConcurrentWriter::TConcurrentWriter(const QString& database, const QList<QStringList>& changes)
    : m_process(std::make_unique<QProcess>())
{
    QByteArray script = "SET AUTODDL OFF;\nCOMMIT;\n";
    for (const QStringList& change : changes) {
        script += "SET TRANSACTION READ COMMITTED RECORD_VERSION WAIT;\n";
        for (const QString& statement : change)
            script += statement.toUtf8() + ";\n";
        script += "COMMIT;\n";
    }
    m_folder.Write(QStringLiteral("writer.sql"), script);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(QStringLiteral("isql-fb"), {QStringLiteral("-user"), QStringLiteral("SYSDBA"), QStringLiteral("-password"),
                                                 QStringLiteral("quillbent"), QStringLiteral("-i"),
                                                 m_folder.File(QStringLiteral("writer.sql")), database});
    if (!m_process->waitForStarted())
        throw std::runtime_error("isql-fb did not start");
}

TConcurrentWriter::~TConcurrentWriter()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
    }
}

bool TConcurrentWriter::Running() const
{
    m_process->waitForFinished(10);
    return m_process->state() != QProcess::NotRunning;
}

int TConcurrentWriter::Finish(QString* output)
{
    m_process->waitForFinished(-1);
    const QString text = QString::fromLocal8Bit(m_process->readAll());
    if (output)
        *output = text;
    return int(text.count(QStringLiteral("Statement failed")));
}
