#include "cl_Funcoes.h"

#include "config/IniFile.h"
#include "platform/data/ClientDataSet.h"
#include "platform/types/Exception.h"
#include "platform/types/Params.h"
#include "platform/os/Clock.h"
#include "platform/os/LogFile.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "remote/wire/SocketConnection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

QString IniPath(const QString& folder, const QString& fileName)
{
    return folder + fileName;
}

// Appends `item` with the separator in front unless the list is still blank.
void AppendItem(QString& list, const QString& separator, const QString& item)
{
    if (!list.trimmed().isEmpty())
        list += separator;
    list += item;
}

void RequirePlainFieldNames(const TFieldDefs& fields)
{
    for (const TFieldDef& field : fields)
        RequirePlainIdentifier(field.Name, "field");
}

// A table name or region goes into a log file name; it must not lead the file
// out of the Log folder nor hold what file names cannot. Without separators the
// part stays inside the one file name, so dots are harmless: the channels'
// labels start as "...", which must stay loggable.
bool FitsFileName(const QString& part)
{
    if (part == QLatin1String(".."))
        return false;
    for (const QChar c : part) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u"<>:\"|?*/\\").contains(c))
            return false;
    }
    return true;
}

void RequireFileNamePart(const QString& part, const QString& what, const QString& path)
{
    if (!FitsFileName(part))
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". The %2 \"%3\" cannot stand in a file name")
                                .arg(path, what, part));
}

void ReadDatabaseSection(const TIniFile& ini, const QString& section, TSQLConnection& connection)
{
    TConnectionParams& params = connection.Params();
    for (const char* key : {"DataBase", "User_Name", "Password", "ServerCharSet", "SQLDialect"}) {
        const QString name = QString::fromLatin1(key);
        params.Add(name, ini.ReadString(section, name, QString()));
    }
}

void ResetConnection(TSQLConnection& connection)
{
    connection.Close();
    connection.SetLoginPrompt(false);
    connection.Params().Clear();
}

// The endpoint and its TLS keys come from one section together: a
// [SOCKET_PROPRIO] in use says everything about its server, TLS included.
void ReadEndpoint(const TIniFile& ini, QStringView section, const QString& folder, TSocketConnection& socket)
{
    socket.SetHost(ini.ReadString(section, u"Address", QString()));
    socket.SetPort(ini.ReadInteger(section, u"Port", 0));
    TTlsSettings tls;
    tls.Enabled = ini.ReadInteger(section, u"TLS", 0) == 1;
    tls.Fingerprint = ini.ReadString(section, u"Fingerprint", QString()).trimmed();
    // A relative CAFile is beside Config.ini, in the program folder.
    const QString caFile = ini.ReadString(section, u"CAFile", QString()).trimmed();
    tls.CAFile = caFile.isEmpty() || QFileInfo(caFile).isAbsolute() ? caFile : QDir(folder).absoluteFilePath(caFile);
    socket.SetTls(tls);
}

} // namespace

// --- configuration -----------------------------------------------------------

void TKeltBaseServerClient::ReadPacketRecords(const QString& folder, const QString& fileName,
                                              TClientDataSet& dataSet) const
{
    const TIniFile ini(IniPath(folder, fileName));
    dataSet.Close();
    dataSet.SetPacketRecords(ini.ReadInteger(u"CLIENTDATASET", u"PackedRecord", 1000));
}

bool TKeltBaseServerClient::ReadTransacaoPorLote(const QString& folder, const QString& fileName) const
{
    const TIniFile ini(IniPath(folder, fileName));
    return ini.ReadInteger(u"CLIENTDATASET", u"TransacaoPorLote", 0) == 1;
}

void TKeltBaseServerClient::ReadDadosFilial(const QString& folder, const QString& fileName, TDadosFilial& dados) const
{
    const TIniFile ini(IniPath(folder, fileName));
    dados.CdContrato = ini.ReadString(u"FILIAL", u"CDCONTRATO", QString());
    dados.PkEmpresa = ini.ReadInteger(u"FILIAL", u"PKEMPRESA", 0);
    dados.PkFilial = ini.ReadInteger(u"FILIAL", u"PKFILIAL", 0);
    dados.UF = ini.ReadString(u"FILIAL", u"UF", QString());
    if (dados.UF == QLatin1String("MG"))
        dados.UF = QStringLiteral("CLARO_MG");
    dados.TpFilial = ini.ReadInteger(u"FILIAL", u"TPFILIAL", -1);
    SplitCdComta(ini.ReadString(u"FILIAL", u"CDCOMTA", QString()), dados.CdComta);
}

void TKeltBaseServerClient::SplitCdComta(const QString& text, TArrayCdComta& codes) const
{
    codes.clear();
    QString code;
    for (const QChar c : text) {
        if (c == u',') {
            codes.append(TDadosCdComta{code});
            code.clear();
        } else {
            code += c;
        }
    }
    // A code without a comma after it is dropped.
}

void TKeltBaseServerClient::ReadSyncInterval(const QString& folder, const QString& fileName, QTimer& timer) const
{
    const TIniFile ini(IniPath(folder, fileName));
    timer.stop();
    const qint64 ms = qint64(ini.ReadInteger(u"SINCRONIZACAO", u"TempoSincronizacao", 60)) * 60 * 1000;
    timer.setInterval(int(std::clamp<qint64>(ms, 0, std::numeric_limits<int>::max())));
}

void TKeltBaseServerClient::ReadMonitoring(const QString& folder, const QString& fileName,
                                           TDadosMonitoramentoReplicacao& dados) const
{
    const TIniFile ini(IniPath(folder, fileName));
    dados.MonitorarReplicacao = ini.ReadInteger(u"LOG", u"MonitorarReplicacao", 0) == 1;
    dados.DataBase = ini.ReadString(u"LOG", u"DataBase", QString());
}

void TKeltBaseServerClient::ReadSocket(const QString& folder, const QString& fileName, TSocketConnection& socket) const
{
    const TIniFile ini(IniPath(folder, fileName));
    socket.Close();
    ReadEndpoint(ini, u"SOCKET", folder, socket);
}

void TKeltBaseServerClient::ReadOwnSocket(const QString& folder, const QString& fileName,
                                          TSocketConnection& socket) const
{
    const TIniFile ini(IniPath(folder, fileName));
    socket.Close();
    ReadEndpoint(ini, ini.SectionExists(u"SOCKET_PROPRIO") ? u"SOCKET_PROPRIO" : u"SOCKET", folder, socket);
}

void TKeltBaseServerClient::ReadDatabase(const QString& folder, const QString& fileName,
                                         TSQLConnection& connection) const
{
    const TIniFile ini(IniPath(folder, fileName));
    ResetConnection(connection);
    ReadDatabaseSection(ini, QStringLiteral("DB"), connection);
}

void TKeltBaseServerClient::ReadLogDatabase(const QString& folder, const QString& fileName,
                                            TSQLConnection& connection) const
{
    const TIniFile ini(IniPath(folder, fileName));
    ResetConnection(connection);
    TConnectionParams& params = connection.Params();
    params.Add(QStringLiteral("DataBase"), ini.ReadString(u"LOG", u"DataBase", QString()));
    params.Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    params.Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    params.Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    params.Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
}

// --- replication log ---------------------------------------------------------

void TKeltBaseServerClient::WriteLog(const QString& folder, const QString& step, const QString& table,
                                     const QString& cdContrato, qint32 pkEmpresa, qint32 pkFilial, const QString& uf,
                                     const QString& message)
{
    const QString crlf = QStringLiteral("\r\n");
    const QString content = QStringLiteral("Metodo: ") + step + crlf + QStringLiteral("NmTabela: ") + table + crlf
                            + QStringLiteral("CdContrato: ") + cdContrato + crlf + QStringLiteral("PkEmpresa: ")
                            + QString::number(pkEmpresa) + crlf + QStringLiteral("PkFilial: ")
                            + QString::number(pkFilial) + crlf + QStringLiteral("UF: ") + uf + crlf + message + crlf;

    // Date first, then time, as two separate readings of the clock.
    const QDate date = Clock().CurrentDate();
    const QTime time = Clock().CurrentTime();
    const QString path = folder + QStringLiteral("Log") + QDir::separator() + QStringLiteral("Log_")
                         + QString::number(pkFilial) + u'_' + uf + u'_' + table + u'_'
                         + date.toString(QStringLiteral("dd_MM_yyyy")) + QStringLiteral("_XX_")
                         + time.toString(QStringLiteral("HH_mm_ss")) + QStringLiteral(".ini");
    RequireFileNamePart(table, QStringLiteral("table name"), path);
    RequireFileNamePart(uf, QStringLiteral("region"), path);

    QStringEncoder encoder(QStringEncoder::System);
    const QByteArray bytes = encoder.encode(content);
    const QString failure = ReplaceFileContent(path, bytes);
    if (!failure.isEmpty())
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, failure));

    const TRunLogEntry written{table, QFileInfo(path).fileName(), message};
    m_lastWritten = written;
    const bool seen = std::any_of(m_firstWritten.cbegin(), m_firstWritten.cend(),
                                  [&](const TRunLogEntry& e) { return e.Table == table; });
    if (!seen)
        m_firstWritten.append(written);
}

QList<TRunLogEntry> TKeltBaseServerClient::WrittenLog() const
{
    QList<TRunLogEntry> entries = m_firstWritten;
    if (m_lastWritten && (entries.isEmpty() || !(entries.last() == *m_lastWritten)))
        entries.append(*m_lastWritten);
    return entries;
}

void TKeltBaseServerClient::ClearWrittenLog()
{
    m_firstWritten.clear();
    m_lastWritten.reset();
}

int TKeltBaseServerClient::ReadDiasCiclos(const QString& folder, const QString& fileName) const
{
    const TIniFile ini(IniPath(folder, fileName));
    const int days = ini.ReadInteger(u"LOG", u"DiasCiclos", 30);
    return days < 1 ? 30 : days;
}

// --- statement builder -------------------------------------------------------

QString TKeltBaseServerClient::BuildInsert(const QString& table, const TFieldDefs& fields) const
{
    RequirePlainIdentifier(table, "table");
    return QStringLiteral("INSERT INTO ") + table + u'(' + ColumnList(fields) + QStringLiteral(") VALUES ") + u'('
           + ParamList(fields) + u')';
}

QString TKeltBaseServerClient::BuildSelectByKey(const QString& table, const TFieldDefs& fields) const
{
    RequirePlainIdentifier(table, "table");
    return QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" WHERE ") + KeyCondition(fields);
}

QString TKeltBaseServerClient::BuildUpdate(const QString& table, const TFieldDefs& fields) const
{
    RequirePlainIdentifier(table, "table");
    // Both lists first, so that a bad field name is refused whatever list holds it.
    const QString set = SetList(fields);
    const QString where = KeyCondition(fields);
    return QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + set + QStringLiteral(" WHERE ") + where;
}

QString TKeltBaseServerClient::BuildInsert(const QString& table, const TClientDataSet& dataSet) const
{
    return BuildInsert(table, dataSet.FieldDefs());
}

QString TKeltBaseServerClient::BuildSelectByKey(const QString& table, const TClientDataSet& dataSet) const
{
    return BuildSelectByKey(table, dataSet.FieldDefs());
}

QString TKeltBaseServerClient::BuildUpdate(const QString& table, const TClientDataSet& dataSet) const
{
    return BuildUpdate(table, dataSet.FieldDefs());
}

QString ColumnList(const TFieldDefs& fields)
{
    RequirePlainFieldNames(fields);
    QString list;
    for (const TFieldDef& field : fields)
        AppendItem(list, QStringLiteral(","), field.Name);
    return list;
}

QString ParamList(const TFieldDefs& fields)
{
    RequirePlainFieldNames(fields);
    QString list;
    for (const TFieldDef& field : fields)
        AppendItem(list, QStringLiteral(","), u':' + field.Name);
    return list;
}

QString SetList(const TFieldDefs& fields)
{
    RequirePlainFieldNames(fields);
    QString list;
    for (const TFieldDef& field : fields) {
        if (!(field.InKey() && field.Required))
            AppendItem(list, QStringLiteral(","), field.Name + QStringLiteral(" = :") + field.Name);
    }
    return list;
}

QString KeyCondition(const TFieldDefs& fields)
{
    RequirePlainFieldNames(fields);
    QString list;
    for (const TFieldDef& field : fields) {
        if (field.InKey() || field.Required)
            AppendItem(list, QStringLiteral(" AND "), field.Name + QStringLiteral(" = :") + field.Name);
    }
    return list;
}

QString ColumnList(const TClientDataSet& dataSet)
{
    return ColumnList(dataSet.FieldDefs());
}

QString ParamList(const TClientDataSet& dataSet)
{
    return ParamList(dataSet.FieldDefs());
}

QString SetList(const TClientDataSet& dataSet)
{
    return SetList(dataSet.FieldDefs());
}

QString KeyCondition(const TClientDataSet& dataSet)
{
    return KeyCondition(dataSet.FieldDefs());
}

std::vector<int> ParamFields(const TParams& params, const TFieldDefs& defs)
{
    // Parameters mostly follow the field order: each search starts after the
    // previous match.
    std::vector<int> fields;
    fields.reserve(size_t(params.Count()));
    int next = 0;
    for (const TParam& param : params) {
        const int index = IndexOfField(defs, param.Name, next);
        next = index + 1;
        fields.push_back(index);
    }
    return fields;
}

void CopyRowToParams(TParams& params, const TClientDataSet& source, const std::vector<int>& fields)
{
    int k = 0;
    for (TParam& param : params) {
        const int index = k < int(fields.size()) ? fields[size_t(k)] : -1;
        ++k;
        if (index < 0)
            throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(param.Name));
        param.DataType = source.FieldDefs()[index].DataType;
        param.SetCell(source.FieldCell(index));
    }
}

void CopyRowToParams(TParams& params, const TClientDataSet& source)
{
    CopyRowToParams(params, source, ParamFields(params, source.FieldDefs()));
}

void CopyRowToParams(TSQLDataSet& target, const TClientDataSet& source)
{
    CopyRowToParams(target.Params(), source);
}

// --- key columns -------------------------------------------------------------

namespace {

bool OneOf(const QString& table, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return table == QLatin1String(name); });
}

bool IsStockTable(const QString& table)
{
    return OneOf(table, {"TBQUANTIDADE", "TBPRECOACESSORIO", "TBQTDMINIMA"});
}

} // namespace

QString PkTabelaColumn(const QString& table)
{
    if (table == QLatin1String("TBDEVOLUCAOCOMPRA"))
        return QStringLiteral("PKDEVOLUCAO");
    if (table == QLatin1String("TBITDEVOLUCAOCOMPRA"))
        return QStringLiteral("PKITDEVOLUCAO");
    if (table == QLatin1String("TBIMPORTATRANSFERENCIA"))
        return QStringLiteral("PKTRANSFERENCIA");
    if (table == QLatin1String("TBITIMPORTATRANSFERENCIA"))
        return QStringLiteral("PKITTRANSFERENCIA");
    if (IsStockTable(table))
        return QStringLiteral("PKPRODUTO");
    return QStringLiteral("PK") + table.mid(2).toUpper();
}

QString PkTabela2Column(const QString& table)
{
    if (IsStockTable(table))
        return QStringLiteral("PKFPRODUTO");
    if (OneOf(table, {"TBPLANOHABILITACAO", "TBPLANOREMUNERACAO"}))
        return QStringLiteral("PKEMPRESA");
    if (table == QLatin1String("TBPRODUTO"))
        return QStringLiteral("PKOPERADORA");
    if (table == QLatin1String("TBIMPOSTONCM"))
        return QStringLiteral("PKNCM");
    // Tables keyed by their own key alone.
    if (OneOf(table, {"TBCLASSIFICACAO",     "TBCONSULTOR",          "TBDOCUMENTO",
                      "TBEMPRESA",           "TBFILIAL",             "TBPROMOCAO",
                      "TBREMUNERACAO",       "TBSERVICO",            "TBFAIXAPRECO",
                      "TBPLANOFUNCIONARIO",  "TBFAIXAPRECOFUNCIONARIO", "TBGRUPOFUNCIONARIO",
                      "TBFINANFUNCIONARIO",  "TBSERVICOFUNCIONARIO", "TBCARENCIA",
                      "TBSERVICOOSFUNCIONARIO", "TBTPPROMOCAO",      "TBPRECOSWAP",
                      "TBITUSUARIO",         "TBPRECOAPGSM",         "TBACAO",
                      "TBPACOTEDADOS",       "TBTURNOFUN",           "TBFUNCONDTPPRO",
                      "TBTPSERVICO",         "TBCICLO",              "TBSEGURADORA",
                      "TBTPVENDA",           "TBREMUNERACAORECARGA", "TBCLASSIFICACAOCLARO",
                      "TBITREMUNERACAOCLARO", "TBITSERVICOCLARO",    "TBTIPODEOFERTA"}))
        return QString();
    return QStringLiteral("PKFILIAL");
}

QString PkTabela3Column(const QString& table)
{
    return IsStockTable(table) ? QStringLiteral("PKFILIAL") : QString();
}

QString LockSentRowStatement(const QString& table)
{
    RequirePlainIdentifier(table, "table");
    const QString keys[] = {PkTabelaColumn(table), PkTabela2Column(table), PkTabela3Column(table)};
    QString sql = QStringLiteral("SELECT ") + keys[0] + QStringLiteral(" FROM ") + table + QStringLiteral(" WHERE ");
    for (int i = 0; i < 3; ++i) {
        if (keys[i].isEmpty())
            continue;
        RequirePlainIdentifier(keys[i], "column");
        if (i > 0)
            sql += QStringLiteral(" AND ");
        sql += keys[i] + QStringLiteral(" = :") + keys[i];
    }
    return sql + QStringLiteral(" WITH LOCK");
}

// --- standard parameters -----------------------------------------------------

void SetStandardParams(TParams& params, TDadosFilial dados, qint32 lastKey)
{
    for (TParam& param : params) {
        const QString name = param.Name.toUpper();
        if (name == QLatin1String("PCDCONTRATO"))
            param.SetAsString(dados.CdContrato);
        else if (name == QLatin1String("PPKEMPRESA"))
            param.SetAsInteger(dados.PkEmpresa);
        else if (name == QLatin1String("PPKFILIAL"))
            param.SetAsInteger(dados.PkFilial);
        else if (name == QLatin1String("PUF"))
            param.SetAsString(dados.UF);
        else if (name == QLatin1String("PPKULTIMO"))
            param.SetAsInteger(lastKey);
    }
}

void SetStandardParams(TClientDataSet& dataSet, TDadosFilial dados, qint32 lastKey)
{
    SetStandardParams(dataSet.Params(), std::move(dados), lastKey);
}

// --- client base -------------------------------------------------------------

TKeltBaseClient::TKeltBaseClient() : m_serverClient(std::make_unique<TKeltBaseServerClient>()) {}

TKeltBaseClient::~TKeltBaseClient() = default;

void TKeltBaseClient::ReadConfiguration()
{
    m_programFolder = ::ProgramFolder();
    TKeltBaseServerClient& service = *m_serverClient;
    service.ReadDadosFilial(m_programFolder, ConfigIniName, m_dadosFilial);
    service.ReadMonitoring(m_programFolder, ConfigIniName, m_monitoramento);
    if (m_localConnection)
        service.ReadDatabase(m_programFolder, ConfigIniName, *m_localConnection);
    if (m_pafConnection)
        service.ReadDatabase(m_programFolder, ConfigPafIniName, *m_pafConnection);
    if (m_socketConnection)
        service.ReadSocket(m_programFolder, ConfigIniName, *m_socketConnection);
    if (m_clientDataSet)
        service.ReadPacketRecords(m_programFolder, ConfigIniName, *m_clientDataSet);
    m_transacaoPorLote = service.ReadTransacaoPorLote(m_programFolder, ConfigIniName);
}

void TKeltBaseClient::Log(const QString& step, const QString& table, const QString& message)
{
    const TDadosFilial& f = m_dadosFilial;
    LogAs(step, table, f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF, message);
}

void TKeltBaseClient::LogAs(const QString& step, const QString& table, const QString& cdContrato, qint32 pkEmpresa,
                            qint32 pkFilial, const QString& uf, const QString& message)
{
    ServerClient().WriteLog(m_programFolder, step, FitsFileName(table) ? table : QString(), cdContrato, pkEmpresa,
                            pkFilial, uf, message);
}

qint32 TKeltBaseClient::LastKey(const QString& table, bool lower)
{
    RequirePlainIdentifier(table, "table");
    if (!m_lookupDataSet)
        throw EDatabaseError(QStringLiteral("LastKey of %1: no lookup data set").arg(table));
    m_lookupDataSet->Close();
    const QString key = PkTabelaColumn(table);
    RequirePlainIdentifier(key, "column");
    QString sql = QStringLiteral("SELECT MAX(") + key + QStringLiteral(") AS PKULTIMO ") + QStringLiteral(" FROM ")
                  + table;
    // Price serials share the table between the two sources by an eight-digit
    // boundary and count only rows with a sale value.
    const bool serial = table == QLatin1String("TBPRECOSERIAL");
    QString joiner = QStringLiteral(" WHERE ");
    if (serial) {
        sql += QStringLiteral(" WHERE VLVENDA > 0 ");
        joiner = QStringLiteral(" AND ");
    }
    sql += joiner + key;
    if (serial)
        sql += lower ? QStringLiteral(" <= 99999999") : QStringLiteral(" > 99999999");
    else
        sql += lower ? QStringLiteral(" <= 999999") : QStringLiteral(" > 999999");
    m_lookupDataSet->SetCommandText(sql);
    m_lookupDataSet->Open();
    const TField field = m_lookupDataSet->FieldByName(u"PKULTIMO");
    return field.IsNull() ? 0 : field.AsInteger();
}

void TKeltBaseClient::SetServerFailure()
{
    if (!m_socketConnection)
        throw Exception(QStringLiteral("The client has no socket connection wired"));
    // In one step: a host such as "fe80::1%2" must not take the next value.
    m_lastError = QStringLiteral("Verificar log de erro no servidor. Servidor: %1 Porta: %2 Servico: %3")
                      .arg(m_socketConnection->Host(), QString::number(m_socketConnection->Port()),
                           m_socketConnection->ServerName());
}

QString ErrorText(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const Exception*>(&e))
        return own->Message();
    return QString::fromLocal8Bit(e.what());
}

void PrepareProvider(TClientDataSet& dataSet, IAppServer& source, const QString& provider, const TDadosFilial& dados,
                     qint32 lastKey)
{
    dataSet.Close();
    dataSet.SetRemoteServer(&source);
    dataSet.SetProviderName(provider);
    dataSet.SetFetchOnDemand(false);
    dataSet.Params().Clear();
    dataSet.FetchParams();
    SetStandardParams(dataSet, dados, lastKey);
}

TSQLConnection& TKeltBaseClient::LocalDatabase() const
{
    if (!m_execDataSet || !m_execDataSet->SQLConnection())
        throw Exception(QStringLiteral("The local database is not wired"));
    return *m_execDataSet->SQLConnection();
}

void TKeltBaseClient::LockSentRow(TSQLDataSet& ds, const QString& table, const TClientDataSet& rows) const
{
    if (!ds.SQLConnection() || !ds.SQLConnection()->InTransaction())
        return;
    ds.Close();
    ds.SetCommandText(LockSentRowStatement(table));
    for (const QString& column : {PkTabelaColumn(table), PkTabela2Column(table), PkTabela3Column(table)}) {
        if (column.isEmpty())
            continue;
        const TField field = rows.FieldByName(column);
        TParam& param = ds.Params().ParamByName(column);
        if (field.IsNull())
            param.Clear();
        else
            param.SetAsInteger(field.AsInteger());
    }
    // Every matching row is locked as it is fetched.
    for (ds.Open(); !ds.Eof(); ds.Next()) {
    }
    ds.Close();
}

void TKeltBaseClient::LoadBatch(TClientDataSet& rows, const QByteArray& text) const
{
    if (m_clientDataSet)
        rows.SetXMLData(text, *m_clientDataSet);
    else
        rows.SetXMLData(text);
}
