#include "platform/types/Exception.h"
#include "platform/data/LocalConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <gtest/gtest.h>

#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace {

int IndexOfTable(const TFDM_MovimentoM& dm, const QString& table)
{
    for (int i = 0; i < dm.ProviderCount(); ++i)
        if (dm.GetProvider(i).TableName == table)
            return i;
    return -1;
}

QString Statement(const TFDM_MovimentoM& dm, const QString& table)
{
    return dm.Module().Entry(IndexOfTable(dm, table)).CommandText;
}

QStringList Names(const TFieldDefs& defs, bool (*keep)(const TFieldDef&))
{
    QStringList names;
    for (const TFieldDef& d : defs)
        if (keep(d))
            names << d.Name;
    return names;
}

} // namespace

TEST(MovimentoMCatalogue, FiftyProvidersInModuleOrderServingTheUpperCasedDataSetNames)
{
    const QStringList expected =
        QStringLiteral("Venda ItVenda CondiVenda ItCondiVenda Swap DocVenda ObsDocVenda Compra ItCompra CondiCompra "
                       "ItCondiCompra Devolucao ItDevolucao DevolucaoCompra ItDevolucaoCompra Troca ItTroca "
                       "ServicoExecutado Transferencia ItTransferencia ImportaTransferencia ItImportaTransferencia "
                       "Roubo Serial Quantidade MovDiario Cliente PlanoConta Historico Previsao Efetivacao Disponivel "
                       "FatoGerador AbreFechaCaixa Estoque Caixa EstoqueEquipe FormaPagto ItFormaPagto "
                       "FormaPagtoFinanceira Cancelamento ItCancelamento - Os ItProdutoOS ItServicoOS ItAparelhoOS "
                       "CondiOS ItCondiOS OsAdicionais")
            .split(u' ');
    TFDM_MovimentoM dm;
    ASSERT_EQ(dm.ProviderCount(), 50);
    ASSERT_EQ(dm.LcAgente().ProviderCount(), 50);
    for (int i = 0; i < 50; ++i) {
        const TProvider p = dm.GetProvider(i);
        if (expected[i] != u"-") {
            EXPECT_EQ(p, (TProvider{"Dsp" + expected[i], "TB" + expected[i].toUpper()})) << i;
        }
        // The local connection opens each provider by its name.
        EXPECT_EQ(dm.LcAgente().FindProvider(p.ProviderName), &dm.Module().Provider(i)) << i;
    }
    EXPECT_EQ(dm.Module().Entry(40).DataSetName, "tbCancelamento");
    EXPECT_EQ(dm.Module().Entry(41).DataSetName, "tbItCancelamento");

    QString provider, table;
    const auto get = [&](int i) {
        dm.GetProvider(i, provider, table);
        return provider + u' ' + table;
    };
    EXPECT_EQ(get(49), "DspOsAdicionais TBOSADICIONAIS");
    EXPECT_EQ(get(42), "dsLOGVENDAPRECOOFFLINE TBLOGVENDAPRECOOFFLINE");
    EXPECT_EQ(get(40), "DspCancelamento TBCANCELAMENTO");
    EXPECT_THROW(dm.GetProvider(50), EDatabaseError);
    EXPECT_THROW(dm.GetProvider(-1), EDatabaseError);
}

TEST(MovimentoMCatalogue, TbVendaStatementIsStoredWithCrLfBetweenLines)
{
    TFDM_MovimentoM dm;
    EXPECT_EQ(dm.Module().Entry(0).CommandText,
              "SELECT VEN.*,\r\n"
              "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO\r\n"
              "FROM TBVENDA VEN\r\n"
              "INNER JOIN TBCEMM CEMM\r\n"
              "ON (   VEN.PKVENDA = CEMM.PKTABELA\r\n"
              "   AND VEN.PKFILIAL = CEMM.PKTABELA2)\r\n"
              "WHERE CEMM.NMTABELA =  'TBVENDA'\r\n"
              "ORDER BY PKVENDA");
    EXPECT_EQ(dm.Module().DataSet(0).CommandText(), dm.Module().Entry(0).CommandText);
}

TEST(MovimentoMCatalogue, StatementsDepartFromThePatternWhereTheCatalogueSays)
{
    TFDM_MovimentoM dm;

    EXPECT_EQ(Statement(dm, "TBQUANTIDADE"),
              "SELECT QUANTIDADE.*,\r\n"
              "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO\r\n"
              "FROM TBQUANTIDADE QUANTIDADE\r\n"
              "INNER JOIN TBCEMM CEMM\r\n"
              "ON (   QUANTIDADE.PKPRODUTO = CEMM.PKTABELA\r\n"
              "   AND QUANTIDADE.PKFPRODUTO = CEMM.PKTABELA2\r\n"
              "   AND QUANTIDADE.PKFILIAL = CEMM.PKTABELA3)\r\n"
              "WHERE CEMM.NMTABELA =  'TBQUANTIDADE'\r\n"
              "ORDER BY PKPRODUTO, PKFPRODUTO, PKFILIAL");
    EXPECT_EQ(Statement(dm, "TBDISPONIVEL"),
              "SELECT TAB.*,\r\n"
              "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,\r\n"
              "  0 AS PKFILIALDESTINO\r\n"
              "FROM TBDISPONIVEL TAB\r\n"
              "INNER JOIN TBCEMM CEMM\r\n"
              "ON (   TAB.PKDISPONIVEL = CEMM.PKTABELA\r\n"
              "   AND TAB.PKFILIAL = CEMM.PKTABELA2)\r\n"
              "WHERE CEMM.NMTABELA =  'TBDISPONIVEL'\r\n"
              "ORDER BY PKDISPONIVEL");

    // Exactly the eight financial and cash tables send a constant destination.
    QStringList constant;
    for (int i = 0; i < dm.ProviderCount(); ++i)
        if (dm.Module().Entry(i).CommandText.contains("0 AS PKFILIALDESTINO"))
            constant << dm.GetProvider(i).TableName;
    EXPECT_EQ(constant, QStringList({"TBPLANOCONTA", "TBHISTORICO", "TBPREVISAO", "TBEFETIVACAO", "TBDISPONIVEL",
                                     "TBFATOGERADOR", "TBABREFECHACAIXA", "TBCAIXA"}));

    // The other departures: key columns, aliases and orders.
    const char* const tails[][2] = {
        {"TBITCONDIVENDA", "\r\nORDER BY PKCONDIVENDA, PKFCONDIVENDA, NRPARCELA"},
        {"TBITCONDICOMPRA", "\r\nORDER BY PKCONDICOMPRA, PKFCONDICOMPRA, NRPARCELA"},
        {"TBFORMAPAGTOFINANCEIRA", "\r\nORDER BY pkFORMAPAGTOFINANCEIRA"},
        {"TBCANCELAMENTO", "WHERE CEMM.NMTABELA =  'TBCANCELAMENTO'\r\nORDER BY PKVENDA"},
        {"TBIMPORTATRANSFERENCIA", "PKTRANSFERENCIA = CEMM.PKTABELA\r\n   AND IMPTRANSF.PKFILIAL = CEMM.PKTABELA2)"
                                   "\r\nWHERE CEMM.NMTABELA =  'TBIMPORTATRANSFERENCIA'\r\nORDER BY PKTRANSFERENCIA"},
        {"TBITIMPORTATRANSFERENCIA", "ITIMPTRANSF.PKITTRANSFERENCIA = CEMM.PKTABELA\r\n   AND ITIMPTRANSF.PKFILIAL = "
                                     "CEMM.PKTABELA2)\r\nWHERE CEMM.NMTABELA =  'TBITIMPORTATRANSFERENCIA'\r\n"
                                     "ORDER BY PKTRANSFERENCIA"},
        {"TBDEVOLUCAOCOMPRA", "FROM TBDEVOLUCAOCOMPRA DEV\r\nINNER JOIN TBCEMM CEMM\r\nON (   DEV.PKDEVOLUCAO = "
                              "CEMM.PKTABELA\r\n   AND DEV.PKFILIAL = CEMM.PKTABELA2)\r\n"
                              "WHERE CEMM.NMTABELA =  'TBDEVOLUCAOCOMPRA'\r\nORDER BY PKDEVOLUCAO"},
        {"TBITDEVOLUCAOCOMPRA", "ITDEV.PKITDEVOLUCAO = CEMM.PKTABELA\r\n   AND ITDEV.PKFILIAL = CEMM.PKTABELA2)"
                                "\r\nWHERE CEMM.NMTABELA =  'TBITDEVOLUCAOCOMPRA'\r\nORDER BY PKITDEVOLUCAO"},
        {"TBLOGVENDAPRECOOFFLINE", "FROM TBLOGVENDAPRECOOFFLINE LOG\r\nINNER JOIN TBCEMM CEMM\r\n"
                                   "ON (   LOG.PKLOGVENDAPRECOOFFLINE = CEMM.PKTABELA\r\n   AND LOG.PKFILIAL = "
                                   "CEMM.PKTABELA2)\r\nWHERE CEMM.NMTABELA =  'TBLOGVENDAPRECOOFFLINE'\r\n"
                                   "ORDER BY PKLOGVENDAPRECOOFFLINE"},
    };
    for (const auto& [table, tail] : tails)
        EXPECT_TRUE(Statement(dm, table).endsWith(QLatin1String(tail))) << Statement(dm, table).toStdString();

    // Every query takes the company key, and only that.
    for (int i = 0; i < dm.ProviderCount(); ++i) {
        const TParams& params = dm.Module().DataSet(i).Params();
        ASSERT_EQ(params.Count(), 1) << i;
        EXPECT_EQ(params[0].Name, "PPKEMPRESA") << i;
    }
}

TEST(MovimentoMCatalogue, FieldListsCarryTheirCountsKeyFlagsAndRequiredMarks)
{
    const int counts[] = {63, 37, 10, 14, 10, 8, 7, 23, 14, 10, 13, 18, 13, 16, 13, 16, 19,
                          29, 14, 13, 15, 14, 16, 21, 10, 18, 38, 17, 7,  43, 45, 46, 28, 11,
                          14, 9,  15, 12, 13, 13, 11, 15, 15, 39, 15, 16, 17, 10, 14, 17};
    const QSet<QString> constantDestination = {"TBPLANOCONTA",  "TBHISTORICO",   "TBPREVISAO",       "TBEFETIVACAO",
                                               "TBDISPONIVEL",  "TBFATOGERADOR", "TBABREFECHACAIXA", "TBCAIXA"};
    const QSet<QString> originalBranchKey = {"TBPREVISAO", "TBEFETIVACAO", "TBDISPONIVEL", "TBFATOGERADOR"};
    const QSet<QString> noKeyFlag = {"TBFORMAPAGTO", "TBITFORMAPAGTO", "TBFORMAPAGTOFINANCEIRA",
                                     "TBLOGVENDAPRECOOFFLINE"};
    const QSet<QString> optionalContract = {"TBESTOQUEEQUIPE", "TBOSADICIONAIS", "TBOS",      "TBITPRODUTOOS",
                                            "TBITSERVICOOS",   "TBITAPARELHOOS", "TBCONDIOS", "TBITCONDIOS"};
    // The service orders also require their foreign keys (all named PK...).
    const QMap<QString, int> requiredForeignKeys = {{"TBOS", 10},     {"TBITPRODUTOOS", 4}, {"TBITSERVICOOS", 4},
                                                    {"TBITAPARELHOOS", 2}, {"TBCONDIOS", 4},   {"TBITCONDIOS", 5}};

    TFDM_MovimentoM dm;
    for (int i = 0; i < dm.ProviderCount(); ++i) {
        const QString table = dm.GetProvider(i).TableName;
        const TFieldDefs& fields = dm.Module().Fields(i);
        SCOPED_TRACE(table.toStdString());
        EXPECT_EQ(fields.size(), counts[i]);
        // Every list starts with the columns the query joins on the marks.
        EXPECT_EQ(fields[0].Name, PkTabelaColumn(table));
        EXPECT_EQ(fields[1].Name, PkTabela2Column(table));
        EXPECT_GE(IndexOfField(fields, u"CDCONTRATO"), 0);

        QStringList keys;
        if (!noKeyFlag.contains(table)) {
            keys << fields[0].Name << fields[1].Name;
            if (table == "TBQUANTIDADE")
                keys << "PKFILIAL";
            keys << "CDCONTRATO";
            if (constantDestination.contains(table))
                keys << "PKFILIALDESTINO";
            if (originalBranchKey.contains(table))
                keys << "PKFILIALORIGINAL";
        }
        EXPECT_EQ(Names(fields, [](const TFieldDef& d) { return d.InKey(); }), keys);

        QStringList required = keys;
        if (table == "TBROUBO")
            required.clear();
        if (noKeyFlag.contains(table))
            required = QStringList{fields[0].Name, "PKFILIAL"};
        if (optionalContract.contains(table) || table == "TBDISPONIVEL")
            required.removeAll("CDCONTRATO");
        if (table == "TBDISPONIVEL")
            required.removeAll("PKFILIALDESTINO");
        QStringList extra = Names(fields, [](const TFieldDef& d) { return d.Required; });
        for (const QString& name : required)
            EXPECT_EQ(extra.removeAll(name), 1) << name.toStdString();
        EXPECT_EQ(extra.size(), requiredForeignKeys.value(table));
        EXPECT_TRUE(extra.filter(QRegularExpression("^(?!PK)")).isEmpty());

        QStringList readOnly = Names(fields, [](const TFieldDef& d) { return d.ReadOnly; });
        EXPECT_EQ(readOnly, table == "TBDISPONIVEL"
                                ? QStringList({"PKDISPONIVEL", "PKFILIAL", "CDCONTRATO", "PKFILIALDESTINO"})
                                : QStringList());
    }

    const TFieldDefs& venda = dm.Module().Fields(0);
    EXPECT_EQ(venda[39], (TFieldDef{"CDCONTRATO", TFieldType::ftString, 20, 0, true, false, 7}));
    EXPECT_EQ(venda[17], (TFieldDef{"OBSERVACAO", TFieldType::ftMemo}));
    EXPECT_EQ(venda[16], (TFieldDef{"TOTALVENDA", TFieldType::ftFMTBcd, 15, 3}));
    EXPECT_EQ(venda[58], (TFieldDef{"IDDESCONTOAUTOMATICO", TFieldType::ftSmallint}));
    EXPECT_EQ(venda.last().Name, "FIDELIDADE");
    const TFieldDefs& cliente = dm.Module().Fields(26);
    EXPECT_EQ(cliente[IndexOfField(cliente, u"SGESTADO")], (TFieldDef{"SGESTADO", TFieldType::ftFixedChar, 2}));
    EXPECT_EQ(dm.Module().Fields(6)[4], (TFieldDef{"OBSDOCVENDA", TFieldType::ftBlob}));
}
