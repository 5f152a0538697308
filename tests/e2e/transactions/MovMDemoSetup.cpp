// kelt-movm-demo-setup: the databases of a by-hand transaction round trip.
//   kelt-movm-demo-setup branch AGENTE.KELT LOG.KELT  a branch database with one
//       marked sale (header, two items, a condition with two items) and its
//       monitoring database
//   kelt-movm-demo-setup hq AGENTE.KELT LOG.KELT      a headquarters database and
//       its monitoring database
//   kelt-movm-demo-setup show AGENTE.KELT|- [LOG.KELT]  the sale's four tables
//       at headquarters (- for none) and TBLOG
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tools/channel_schemas/MovimentoMSchema.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QTime>

#include <cstdio>

namespace {

constexpr int kBranch = 7;

void Exec(TSQLConnection& c, const QString& sql, const QVariantList& values = {})
{
    TSQLDataSet ds(&c);
    ds.SetCommandText(sql);
    for (int i = 0; i < values.size(); ++i)
        ds.Params()[i].Value = values[i];
    ds.ExecSQL();
}

// A row of the sending shape: `given` columns as given, the others NULL.
void Insert(TSQLConnection& c, const QString& table, const QVariantMap& given)
{
    QStringList names, params;
    QVariantList values;
    for (auto it = given.begin(); it != given.end(); ++it) {
        names << it.key();
        params << u':' + it.key();
        values << it.value();
    }
    Exec(c, QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(table, names.join(u','), params.join(u',')), values);
    Exec(c, QStringLiteral("INSERT INTO TBCEMM (NMTABELA, PKTABELA, PKTABELA2) VALUES (:N, :K, :F)"),
         {table, given.value(PkTabelaColumn(table)), kBranch});
}

QVariant Money(qint64 cents) { return QVariant::fromValue(Decimal(cents * 10, 3)); }

void MarkedSale(TSQLConnection& c)
{
    Exec(c, QStringLiteral("INSERT INTO TBEMPRESA (PKEMPRESA, CDCONTRATO) VALUES (1, '123')"));
    const QVariant f = kBranch;
    Insert(c, QStringLiteral("TBVENDA"),
           {{"PKVENDA", 501}, {"PKFILIAL", f}, {"DTVENDA", QDate(2024, 3, 5)}, {"HRVENDA", QTime(10, 42, 7)},
            {"TOTALVENDA", Money(129990)}, {"OBSERVACAO", QStringLiteral("Venda balcão, cliente retira")},
            {"NRNOTAFISCAL", QStringLiteral("000501")}, {"FECHADA", 1}});
    Insert(c, QStringLiteral("TBITVENDA"), {{"PKITVENDA", 1001}, {"PKFILIAL", f}, {"PKVENDA", 501}, {"PKFVENDA", f}});
    Insert(c, QStringLiteral("TBITVENDA"), {{"PKITVENDA", 1002}, {"PKFILIAL", f}, {"PKVENDA", 501}, {"PKFVENDA", f}});
    Insert(c, QStringLiteral("TBCONDIVENDA"),
           {{"PKCONDIVENDA", 601}, {"PKFILIAL", f}, {"PKVENDA", 501}, {"PKFVENDA", f}, {"VLVENDA", Money(129990)}});
    for (int n : {1, 2})
        Insert(c, QStringLiteral("TBITCONDIVENDA"),
               {{"PKITCONDIVENDA", 700 + n}, {"PKFILIAL", f}, {"PKCONDIVENDA", 601}, {"PKFCONDIVENDA", f},
                {"NRPARCELA", n}});
}

void Show(const QString& path, const QStringList& sqls)
{
    TSQLConnection c;
    c.Params().Add(QStringLiteral("DataBase"), path);
    c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    c.SetLoginPrompt(false);
    for (const QString& sql : sqls) {
        TSQLDataSet ds(&c);
        ds.SetCommandText(sql);
        ds.Open();
        std::printf("%s\n", qPrintable(sql));
        int rows = 0;
        for (; !ds.Eof(); ds.Next(), ++rows) {
            QStringList values;
            for (int i = 0; i < ds.FieldCount(); ++i)
                values << ds.FieldDefs()[i].Name + u'=' + (ds.Fields(i).Value().isNull() ? QStringLiteral("NULL")
                                                                                         : ds.Fields(i).AsString());
            std::printf("  %s\n", qPrintable(values.join(QStringLiteral("  "))));
        }
        std::printf("  (%d row(s))\n", rows);
    }
    c.Close();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args[0] == QLatin1String("show") && (args.size() == 2 || args.size() == 3)) {
        try {
            if (args[1] != QLatin1String("-"))
                Show(args[1], {QStringLiteral("SELECT PKVENDA, PKFILIAL, CDCONTRATO, DTVENDA, HRVENDA, TOTALVENDA, "
                                          "NRNOTAFISCAL, OBSERVACAO FROM TBVENDA ORDER BY PKVENDA"),
                           QStringLiteral("SELECT PKITVENDA, PKFILIAL, PKVENDA, PKFVENDA, CDCONTRATO FROM TBITVENDA "
                                          "ORDER BY PKITVENDA"),
                           QStringLiteral("SELECT PKCONDIVENDA, PKFILIAL, PKVENDA, VLVENDA, CDCONTRATO FROM "
                                          "TBCONDIVENDA ORDER BY PKCONDIVENDA"),
                           QStringLiteral("SELECT PKITCONDIVENDA, PKFILIAL, PKCONDIVENDA, NRPARCELA, CDCONTRATO FROM "
                                          "TBITCONDIVENDA ORDER BY PKITCONDIVENDA")});
            if (args.size() == 3)
                Show(args[2], {QStringLiteral("SELECT NMTABELA, PKTABELA, PKTABELA2, DATA, ENVIADO FROM TBLOG "
                                              "ORDER BY NMTABELA, PKTABELA")});
            return 0;
        } catch (const Exception& e) {
            std::fprintf(stderr, "kelt-movm-demo-setup: %s\n", e.what());
            return 1;
        }
    }
    if (args.size() != 3 || (args[0] != QLatin1String("branch") && args[0] != QLatin1String("hq"))) {
        std::fputs("usage: kelt-movm-demo-setup branch|hq DATABASE LOG_DATABASE | show DATABASE [LOG_DATABASE]\n", stderr);
        return 2;
    }
    try {
        const bool branch = args[0] == QLatin1String("branch");
        for (const QString& path : {args[1], args[2]})
            if (QFile::exists(path))
                throw Exception(QStringLiteral("%1 exists already").arg(path));
        BuildDatabase(args[1], branch ? SendingBranchTables() << TbEmpresaTable() : ReceivingHeadquartersTables(), true);
        BuildDatabase(args[2], MonitoringLogTables(), true);
        if (branch) {
            TSQLConnection c;
            c.Params().Add(QStringLiteral("DataBase"), args[1]);
            c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
            c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
            c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
            c.SetLoginPrompt(false);
            MarkedSale(c);
            c.Close();
            std::printf("Created %s with a marked sale (1 header, 2 items, 1 condition, 2 condition items) and %s\n",
                        qPrintable(args[1]), qPrintable(args[2]));
        } else {
            std::printf("Created %s and %s\n", qPrintable(args[1]), qPrintable(args[2]));
        }
        return 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "kelt-movm-demo-setup: %s\n", e.what());
        return 1;
    }
}
