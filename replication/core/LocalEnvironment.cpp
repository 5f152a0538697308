// The start-up upkeep of the local environment: autostart, the region fix in
// Config.ini, the server endpoints handed to the installation's other software
// and the one column the local sales table must have.

#include "cl_Funcoes.h"

#include "config/IniFile.h"
#include "platform/types/Exception.h"
#include "platform/types/FieldDefs.h"
#include "platform/os/Autostart.h"
#include "platform/os/LocalSystem.h"
#include "platform/os/MessageBox.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ServerEndpoints.h"

#include <QDir>
#include <QFileInfo>

namespace {

TSQLConnection& Require(TSQLConnection* connection, const char* what)
{
    if (!connection)
        throw EDatabaseError(QStringLiteral("The start-up upkeep has no %1 wired").arg(QLatin1String(what)));
    return *connection;
}

// Every statement of the upkeep runs on a data set of its own, freed at once.
void Execute(TSQLConnection& connection, const QString& sql)
{
    TSQLDataSet dataSet(&connection);
    dataSet.SetCommandText(sql);
    dataSet.ExecSQL();
}

} // namespace

QString LegacyConfigFilePath()
{
    const QString override = qEnvironmentVariable("KELT_LEGACY_CONFIG");
    if (!override.isEmpty())
        return override;
    return VendorFolder() + QDir::toNativeSeparators(QStringLiteral("Replica/KeltAppClient/Config.ini"));
}

void TKeltBaseServerClient::RegisterAutostart(const QString& name, const QString& path) const
{
    WriteAutostartEntry(name, path);
}

void TKeltBaseClient::PrepareLocalEnvironment()
{
    ReadConfiguration();
    AdjustVivoUf();
    UpdateServerLists();
    if (!ColumnExists(QStringLiteral("TBVENDA"), QStringLiteral("FINANCEIROPENDENTE")))
        Execute(Require(m_localConnection, "local connection"),
                QStringLiteral("ALTER TABLE %1 ADD %2 %3")
                    .arg(QStringLiteral("TBVENDA"), QStringLiteral("FINANCEIROPENDENTE"), QStringLiteral("DMN_INTEGER")));
}

void TKeltBaseClient::AdjustVivoUf()
{
    const QString folder = m_programFolder.isEmpty() ? ::ProgramFolder() : m_programFolder;
    TIniFile ini(folder + ConfigIniName);
    const qint32 pkFilial = ini.ReadInteger(u"FILIAL", u"PKFILIAL", 0);
    // The UF as written: the "MG" reading rule of the identity does not apply.
    const QString uf = ini.ReadString(u"FILIAL", u"UF", QString());
    const QString state = BranchState(pkFilial);
    if (uf == u"VIVO_BA" && state == u"SE")
        ini.WriteString(QStringLiteral("FILIAL"), QStringLiteral("UF"), QStringLiteral("VIVO_SE"));
}

QString TKeltBaseClient::BranchState(qint32 key)
{
    if (!m_lookupDataSet)
        throw EDatabaseError(QStringLiteral("BranchState: no lookup data set wired"));
    m_lookupDataSet->Close();
    m_lookupDataSet->SetCommandText(QStringLiteral("SELECT SGESTADO FROM TBFILIAL WHERE PKFILIAL = ")
                                    + QString::number(key));
    m_lookupDataSet->Open();
    if (m_lookupDataSet->IsEmpty())
        return {};
    return m_lookupDataSet->Fields(0).AsString();
}

void TKeltBaseClient::UpdateServerLists()
{
    const QString legacy = LegacyConfigFilePath();
    if (QFileInfo(legacy).isFile()) {
        try {
            // Written key by key and only when it differs, so a correct file
            // keeps every byte (and its date) as it was.
            TIniFile ini(legacy);
            const QString host = QString::fromLatin1(Resposta40Host);
            // The legacy replicator reads at most 255 characters of the address.
            if (ini.ReadString(u"SOCKET", u"Address", QString()).left(255) != host)
                ini.WriteString(QStringLiteral("SOCKET"), QStringLiteral("Address"), host);
            const QString port = QString::fromLatin1(LegacySocketPort);
            if (ini.ReadString(u"SOCKET", u"Port", QString()) != port)
                ini.WriteString(QStringLiteral("SOCKET"), QStringLiteral("Port"), port);
        } catch (...) {
            ShowMessage(QStringLiteral("Erro ao alterar o arquivo INI do Replicador."));
        }
    }

    // Existing answers only: a missing row is the other software's to create.
    TSQLConnection& local = Require(m_localConnection, "local connection");
    Execute(local, QStringLiteral("update tbResposta set Resposta = %1 where pkPergunta = 200")
                       .arg(QuotedSqlString(EndpointList(Resposta200Endpoints))));
    Execute(local, QStringLiteral("update tbResposta set Resposta = %1 where pkPergunta = 262")
                       .arg(QuotedSqlString(EndpointList(Resposta262Endpoints))));
    Execute(local, QStringLiteral("update tbResposta set Resposta = %1 where pkPergunta = 40")
                       .arg(QuotedSqlString(QString::fromLatin1(Resposta40Host))));

    // The fiscal application rebuilds its version checks by itself; an
    // unreachable database of it must not hold up the start.
    try {
        Execute(Require(m_pafConnection, "fiscal application connection"),
                QStringLiteral("DELETE FROM TBVERIFICAVERSAO"));
    } catch (...) {
    }
}

bool TKeltBaseClient::ColumnExists(const QString& table, const QString& column)
{
    TSQLDataSet dataSet(&Require(m_localConnection, "local connection"));
    dataSet.SetCommandText(QStringLiteral("select count(RDB$RELATION_FIELDS.RDB$FIELD_NAME)  from RDB$RELATION_FIELDS "
                                          " where RDB$RELATION_FIELDS.RDB$FIELD_NAME = ")
                           + QuotedSqlString(column.toUpper())
                           + QStringLiteral(" and RDB$RELATION_FIELDS.RDB$RELATION_NAME = ")
                           + QuotedSqlString(table.toUpper()));
    dataSet.Open();
    return dataSet.Fields(0).AsInteger() > 0;
}
