#pragma once

// The export of the master-data and transaction channels as it ran before a
// batch was read and settled in one transaction: connect and identify, count
// every catalogue table, and for a table with pending rows read a batch through
// the local provider module, send it with Inseri_No_Servidor, then run one
// settling statement per sent row, each committed on its own. It lives in the
// benchmarks only, so that the channel can be measured against it.

#include "connections/uDM.h"
#include "platform/types/Exception.h"
#include "remote/ServerObjects.h"
#include "replication/core/BatchHistory.h"
#include "replication/core/cl_Funcoes.h"
#include "replication/master_data/KeltCadMClient.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <QElapsedTimer>

namespace per_row_export {

enum class TChannel
{
    MasterData,   // headquarters: TBCEC rows deleted
    Transactions, // a branch: TBCEMM marks deleted
};

struct TResult
{
    int Rows = 0;
    int Batches = 0;
    int Settled = 0;
    double Seconds = 0;
};

// One row's TBCEC delete, bound as the channel binds it.
inline void BindCadMSettle(TSQLDataSet& exec, const QString& table, const TClientDataSet& rows, qint32 pkEmpresa)
{
    const QString k2 = PkTabela2Column(table), k3 = PkTabela3Column(table);
    TParams& params = exec.Params();
    params.ParamByName(u"PPKTABELA").SetAsInteger(rows.FieldByName(PkTabelaColumn(table)).AsInteger());
    if (!k2.isEmpty())
        params.ParamByName(u"PPKTABELA2").SetAsInteger(rows.FieldByName(k2).AsInteger());
    if (!k3.isEmpty())
        params.ParamByName(u"PPKTABELA3").SetAsInteger(rows.FieldByName(k3).AsInteger());
    params.ParamByName(u"PNMTABELA").SetAsString(table);
    params.ParamByName(u"PKEMPRESA").SetAsInteger(pkEmpresa);
    params.ParamByName(u"PKFILIAL").SetAsInteger(rows.FieldByName(u"PKFILIALDESTINO").AsInteger());
}

inline void BindKey(TParam& param, const TField& field)
{
    if (field.IsNull())
        param.Clear();
    else
        param.SetAsInteger(field.AsInteger());
}

// One row's TBCEMM delete, bound as the channel binds it.
inline QString MovMSettleStatement(const QString& table)
{
    QString sql = QStringLiteral("DELETE FROM TBCEMM WHERE PKTABELA = :PPKTABELA ");
    if (!PkTabela2Column(table).isEmpty())
        sql += QStringLiteral(" AND PKTABELA2 = :PPKTABELA2");
    if (!PkTabela3Column(table).isEmpty())
        sql += QStringLiteral(" AND PKTABELA3 = :PPKTABELA3");
    return sql + QStringLiteral(" AND NMTABELA = :PNMTABELA");
}

inline void BindMovMSettle(TSQLDataSet& exec, const QString& table, const TClientDataSet& rows)
{
    const QString k2 = PkTabela2Column(table), k3 = PkTabela3Column(table);
    TParams& params = exec.Params();
    params.ParamByName(u"PPKTABELA").SetAsInteger(rows.FieldByName(PkTabelaColumn(table)).AsInteger());
    if (!k2.isEmpty())
        BindKey(params.ParamByName(u"PPKTABELA2"), rows.FieldByName(k2));
    if (!k3.isEmpty())
        BindKey(params.ParamByName(u"PPKTABELA3"), rows.FieldByName(k3));
    params.ParamByName(u"PNMTABELA").SetAsString(table);
}

// The transaction channel's pending count of a table.
inline QString MovMPendingCountStatement(const QString& table)
{
    const QString k2 = PkTabela2Column(table), k3 = PkTabela3Column(table);
    QString sql = QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" TAB INNER JOIN TBCEMM CEC ON (    TAB.")
                  + PkTabelaColumn(table) + QStringLiteral(" = CEC.PKTABELA ");
    if (!k2.isEmpty())
        sql += QStringLiteral(" AND TAB.") + k2 + QStringLiteral(" = CEC.PKTABELA2 ");
    if (!k3.isEmpty())
        sql += QStringLiteral(" AND TAB.") + k3 + QStringLiteral(" = CEC.PKTABELA3 ");
    return sql + QStringLiteral(") WHERE CEC.NMTABELA =  '") + table + u'\'';
}

// Runs the export of the installation in `folder` (its Config.ini) through the
// data module `dm`, whose provider module for `channel` is wired. Raises on
// anything the channel would have logged: a refused batch, a failed statement.
inline TResult Run(TFDM& dm, const QString& folder, TChannel channel)
{
    TResult out;
    QElapsedTimer timer;
    timer.start();

    TKeltBaseServerClient config;
    TDadosFilial f;
    config.ReadDadosFilial(folder, ConfigIniName, f);
    config.ReadDatabase(folder, ConfigIniName, dm.SqlCAgente);
    config.ReadSocket(folder, ConfigIniName, dm.ScAgente);
    config.ReadOwnSocket(folder, ConfigIniName, dm.ScAgente);
    config.ReadPacketRecords(folder, ConfigIniName, dm.CdsTabela);
    const TIdentityRef identity{f.CdContrato, f.PkEmpresa, f.PkFilial, f.UF};
    const bool cadm = channel == TChannel::MasterData;
    dm.ScAgente.SetServerName(QString::fromLatin1(cadm ? TKeltCadMServer::ServerName : TKeltMovMServer::ServerName));
    dm.CbAgente.Open();
    TKeltCadMServer cadmServer(dm.CbAgente);
    TKeltMovMServer movmServer(dm.CbAgente);
    if (!(cadm ? cadmServer.Conecta_No_Banco(identity) : movmServer.Conecta_No_Banco(identity)))
        throw Exception(QStringLiteral("Conecta_No_Banco answered false"));

    TSQLDataSet& exec = dm.SqlExecuta;
    TClientDataSet& cds = dm.CdsTabela;
    TLocalConnection& providers = cadm ? dm.FDM_CadastroM->LcAgente() : dm.FDM_MovimentoM->LcAgente();

    QList<std::pair<QString, QString>> tables; // provider, table
    if (cadm)
        for (const TCadastroMTable& t : CadastroMTables())
            tables.append({t.ProviderName, t.TableName()});
    else
        for (const TMovimentoMEntry& e : MovimentoMCatalogue())
            tables.append({QString::fromLatin1(e.ProviderName), e.TableName()});

    for (const auto& [provider, tableName] : std::as_const(tables)) {
        QString table = tableName;
        qint32 lastKey = 0;
        if (cadm && table == QLatin1String("TBPRECOSERIAL"))
            lastKey = cadmServer.GetPkUltimo(table, f.CdContrato, false);
        exec.Close();
        exec.SetCommandText(cadm ? CadMPendingCountStatement(table, lastKey) : MovMPendingCountStatement(table));
        exec.Open();
        const qint32 count = exec.Fields(0).AsInteger();
        exec.Close();
        if (count <= 0)
            continue;
        const QString settle = cadm ? CadMSettleStatement(table) : MovMSettleStatement(table);
        if (!settle.startsWith(QLatin1String("DELETE")) || lastKey != 0)
            throw Exception(QStringLiteral("%1: only tables settled by a delete are covered").arg(table));

        TBatchHistory sent;
        for (;;) {
            PrepareProvider(cds, providers, provider, f, 0);
            cds.Open();
            cds.First();
            if (cds.IsEmpty())
                break;
            if (!sent.HoldsNewRows(cds.Packet()))
                throw Exception(QStringLiteral("%1: a batch of rows already sent").arg(table));
            const QByteArray packet = cds.XMLData();
            if (!(cadm ? cadmServer.Inseri_No_Servidor(table, packet, identity)
                       : movmServer.Inseri_No_Servidor(table, packet, identity)))
                throw Exception(QStringLiteral("%1: Inseri_No_Servidor answered false").arg(table));
            ++out.Batches;
            out.Rows += cds.RecordCount();
            sent.Take();

            // Each row on its own: what was settled before a failure stays settled.
            TClientDataSet& rows = dm.CdsGenerico;
            rows.Close();
            rows.SetXMLData(packet, cds);
            for (rows.First(); !rows.Eof(); rows.Next()) {
                exec.Close();
                exec.SetCommandText(settle);
                if (cadm)
                    BindCadMSettle(exec, table, rows, f.PkEmpresa);
                else
                    BindMovMSettle(exec, table, rows);
                exec.ExecSQL();
                out.Settled += int(exec.RowsAffected());
            }
            cds.Close();
        }
    }
    cds.Close();
    dm.CdsGenerico.Close();
    dm.CbAgente.Close();
    dm.ScAgente.Close();
    out.Seconds = timer.nsecsElapsed() / 1e9;
    return out;
}

} // namespace per_row_export
