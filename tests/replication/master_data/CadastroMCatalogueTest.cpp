#include "platform/data/DataSetProvider.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tools/channel_schemas/CadastroMSchema.h"
#include "replication/master_data/uDM_CadastroM.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const TCadastroMTable& ByDataSet(const QString& dataSet)
{
    for (const TCadastroMTable& t : CadastroMTables())
        if (t.DataSetName == dataSet)
            return t;
    throw std::runtime_error("no table " + dataSet.toStdString());
}

int IndexOf(const QString& dataSet)
{
    for (int i = 0; i < CadastroMTables().size(); ++i)
        if (CadastroMTables()[i].DataSetName == dataSet)
            return i;
    return -1;
}

QString Lines(const QStringList& lines) { return lines.join(QStringLiteral("\r\n")); }

} // namespace

TEST(CadastroMCatalogue, ProviderListHoldsTheSixtyThreeTablesInExportOrder)
{
    const TProviders expected{
        {"DspAliquota", "TBALIQUOTA"}, {"DspBanco", "TBBANCO"}, {"DspConsultor", "TBCONSULTOR"},
        {"DspDocumento", "TBDOCUMENTO"}, {"DspEmpresa", "TBEMPRESA"}, {"DspFilial", "TBFILIAL"},
        {"DspFinanceira", "TBFINANCEIRA"}, {"DspFornecedor", "TBFORNECEDOR"},
        {"DspFuncionario", "TBFUNCIONARIO"}, {"DspMarca", "TBMARCA"},
        {"DspPlanoHabilitacao", "TBPLANOHABILITACAO"}, {"DspProduto", "TBPRODUTO"},
        {"DspPromocao", "TBPROMOCAO"}, {"DspRemuneracao", "TBREMUNERACAO"}, {"DspServico", "TBSERVICO"},
        {"DspUnidadeMedida", "TBUNIDADEMEDIDA"}, {"DspPrecoAcessorio", "TBPRECOACESSORIO"},
        {"DspPrecoSwap", "TBPRECOSWAP"}, {"DspUsuario", "TBUSUARIO"}, {"DspItUsuario", "TBITUSUARIO"},
        {"DspTpPromocao", "TBTPPROMOCAO"}, {"DspGrupo", "TBGRUPO"}, {"DspPrecoApGSM", "TBPRECOAPGSM"},
        {"DspFaixaPreco", "TBFAIXAPRECO"}, {"DspPlanoFuncionario", "TBPLANOFUNCIONARIO"},
        {"DspFaixaPrecoFuncionario", "TBFAIXAPRECOFUNCIONARIO"},
        {"DspGrupoFuncionario", "TBGRUPOFUNCIONARIO"}, {"DspFinanFuncionario", "TBFINANFUNCIONARIO"},
        {"DspServicoFuncionario", "TBSERVICOFUNCIONARIO"}, {"DspServicoOS", "TBSERVICOOS"},
        {"DspAssistencia", "TBASSISTENCIA"}, {"DspCarencia", "TBCARENCIA"}, {"DspQtdMinima", "TBQTDMINIMA"},
        {"DspClassificacao", "TBCLASSIFICACAO"}, {"DspCondicaoFinanceira", "TBCONDICAOFINANCEIRA"},
        {"DspServicoOSFuncionario", "TBSERVICOOSFUNCIONARIO"}, {"DspPlanoConta", "TBPLANOCONTA"},
        {"DspHistorico", "TBHISTORICO"}, {"DspAcao", "TBACAO"}, {"DspEquipe", "TBEQUIPE"},
        {"DspItEquipe", "TBITEQUIPE"}, {"DspFunMoeda", "TBFUNMOEDA"}, {"DspPacoteDados", "TBPACOTEDADOS"},
        {"DspFunCondTpPro", "TBFUNCONDTPPRO"}, {"DspItTpEmpresa", "TBITTPEMPRESA"},
        {"DspPrecoSerial", "TBPRECOSERIAL"}, {"DspTpServico", "TBTPSERVICO"}, {"DspCiclo", "TBCICLO"},
        {"DspLocalEstoque", "TBLOCALESTOQUE"}, {"DspContador", "TBCONTADOR"},
        {"DspOperacaoNfe", "TBOPERACAONFE"}, {"DspTpOperacaoNfe", "TBTPOPERACAONFE"},
        {"DspMvaNcm", "TBMVANCM"}, {"DSPSeguradora", "TBSEGURADORA"}, {"DSPTpVenda", "TBTPVENDA"},
        {"DspRemuneracaoRecarga", "TBREMUNERACAORECARGA"}, {"DspTipoDeOferta", "TBTIPODEOFERTA"},
        {"DspImpostoNCM", "TBIMPOSTONCM"}, {"DspClassificacaoClaro", "TBCLASSIFICACAOCLARO"},
        {"DspAdicionalRebate", "TBADICIONALREBATE"}, {"DspItRemuneracaoClaro", "TBITREMUNERACAOCLARO"},
        {"DspVigRemuneracaoClaro", "TBVIGREMUNERACAOCLARO"}, {"DspItServicoClaro", "TBITSERVICOCLARO"}
    };
    TFDM_CadastroM module;
    ASSERT_EQ(module.ProviderCount(), 63);
    TProviders actual;
    for (int i = 0; i < module.ProviderCount(); ++i)
        actual << module.GetProvider(i);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(module.GetProvider(0), (TProvider{"DspAliquota", "TBALIQUOTA"}));
    EXPECT_EQ(module.GetProvider(62), (TProvider{"DspItServicoClaro", "TBITSERVICOCLARO"}));
    // Mixed-case component names still give upper-case table names.
    EXPECT_EQ(module.Table(53).DataSetName, "TBSeguradora");
    EXPECT_EQ(module.Table(54).DataSetName, "tbTPVenda");
    EXPECT_THROW(module.GetProvider(63), EDatabaseError);
    EXPECT_THROW(module.GetProvider(-1), EDatabaseError);

    // Every provider is reachable by name through the local connection.
    ASSERT_EQ(module.LcAgente().ProviderCount(), 63);
    for (const TProvider& p : expected) {
        TDataSetProvider* provider = module.LcAgente().FindProvider(p.ProviderName);
        ASSERT_NE(provider, nullptr) << p.ProviderName.toStdString();
        EXPECT_EQ(provider->Name(), p.ProviderName);
    }
}

TEST(CadastroMCatalogue, StandardQueriesFollowThePattern)
{
    EXPECT_EQ(CadastroMCommandText(ByDataSet("TbAliquota")),
              Lines({"SELECT ALI.*,",
                     "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,",
                     "  CEC.PKFILIAL AS PKFILIALDESTINO",
                     "FROM TBALIQUOTA ALI",
                     "INNER JOIN TBCEC CEC ",
                     "ON (   ALI.PKALIQUOTA = CEC.PKTABELA",
                     "   AND ALI.PKFILIAL = CEC.PKTABELA2)",
                     "WHERE CEC.NMTABELA =  'TBALIQUOTA'",
                     "ORDER BY PKALIQUOTA"}));
    // One join column closes the ON on its line; the join column keeps its spelling.
    EXPECT_EQ(CadastroMCommandText(ByDataSet("tbTPVenda")),
              Lines({"SELECT SEG.*,",
                     "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,",
                     "  CEC.PKFILIAL AS PKFILIALDESTINO",
                     "FROM TBTPVENDA SEG",
                     "INNER JOIN TBCEC CEC ",
                     "ON (   SEG.PKTpVenda = CEC.PKTABELA)",
                     "WHERE CEC.NMTABELA =  'TBTPVENDA'",
                     "ORDER BY PKTpVenda"}));
    // The module's queries carry these texts.
    TFDM_CadastroM module;
    EXPECT_EQ(module.Module().DataSet(0).CommandText(), CadastroMCommandText(ByDataSet("TbAliquota")));
    for (int i = 0; i < module.ProviderCount(); ++i)
        EXPECT_EQ(module.Module().DataSet(i).CommandText(), CadastroMCommandText(module.Table(i)));
}

TEST(CadastroMCatalogue, SevenQueriesOfTheirOwnAreStoredVerbatim)
{
    const QList<std::pair<QString, QStringList>> own{
        {"TbEmpresa",
         {
             "SELECT EMP.*, ",
             "  CEC.PKFILIAL AS PKFILIALDESTINO ",
             "FROM TBEMPRESA EMP ",
             "INNER JOIN TBCEC CEC  ",
             "ON (   EMP.PKEMPRESA = CEC.PKTABELA) ",
             "WHERE CEC.NMTABELA =  'TBEMPRESA' ",
             "ORDER BY EMP.PKEMPRESA",
         }},
        {"TbPrecoAcessorio",
         {
             "SELECT PRECO.PKPRODUTO, PRECO.PKFPRODUTO, PRECO.PKFILIAL,",
             "  PRECO.PKUSUARIO, PRECO.PKFUSUARIO, PRECO.VLANTERIOR,",
             "  PRECO.VLATUAL, PRECO.DTALTERACAO, PRECO.EXCLUIDO,",
             "    (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO, PRECO.PKFILIAL AS PKFILIALDESTINO ",
             "FROM TBPRECOACESSORIO PRECO",
             "LEFT JOIN TBPRECOACESSORIOBAIXADA PRECOBAIXA",
             "ON (   PRECO.PKPRODUTO = PRECOBAIXA.PKPRODUTO",
             "   AND PRECO.PKFPRODUTO = PRECOBAIXA.PKFPRODUTO",
             "   AND PRECO.PKFILIAL = PRECOBAIXA.PKFILIAL)",
             "WHERE PRECOBAIXA.PKPRODUTO IS NULL",
             "ORDER BY PRECO.PKPRODUTO, PRECO.PKFPRODUTO, PRECO.PKFILIAL",
         }},
        {"TbQtdMinima",
         {
             "SELECT QTD.PKPRODUTO, QTD.PKFPRODUTO, QTD.PKFILIAL,",
             "  QTD.QTDMINIMA, QTD.EXCLUIDO,",
             "    (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO, QTD.PKFILIAL AS PKFILIALDESTINO",
             "FROM TBQTDMINIMA QTD",
             "LEFT JOIN TBQTDMINIMABAIXADA QTDBAIXA",
             "ON (   QTD.PKPRODUTO = QTDBAIXA.PKPRODUTO",
             "   AND QTD.PKFPRODUTO = QTDBAIXA.PKFPRODUTO",
             "   AND QTD.PKFILIAL = QTDBAIXA.PKFILIAL)",
             "WHERE QTDBAIXA.PKPRODUTO IS NULL",
             "ORDER BY QTD.PKPRODUTO, QTD.PKFPRODUTO, QTD.PKFILIAL",
         }},
        {"TbItUsuario",
         {
             "SELECT ITUSU.PKITUSUARIO, ITUSU.PKUSUARIO, ITUSU.PKFUSUARIO,",
             "  ITUSU.NMMENU, ITUSU.NMTELA, ITUSU.EXCLUIDO,",
             "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,",
             "  0 AS PKFILIALDESTINO,",
             "  ITUSU.PKMENU ",
             "FROM TBITUSUARIO ITUSU ",
             "LEFT JOIN TBITUSUARIOBAIXADA ITUSUBAIXA",
             "ON (   ITUSU.PKITUSUARIO = ITUSUBAIXA.PKITUSUARIO)",
             "WHERE ITUSUBAIXA.PKITUSUARIO IS NULL",
             "ORDER BY ITUSU.PKITUSUARIO",
         }},
        {"TbPrecoSwap",
         {
             "SELECT PRECO.PKPRECOSWAP, PRECO.PKPHABIL, PKFPHABIL,",
             "  PRECO.PKPRODUTO, PKFPRODUTO, PRECO.VLVENDA,",
             "  PRECO.EXCLUIDO,   (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = PKFPHABIL) AS CDCONTRATO, 0 AS PKFILIALDESTINO ",
             "FROM TBPRECOSWAP PRECO",
             "LEFT JOIN TBPRECOSWAPBAIXADA PRECOBAIXA",
             "ON (   PRECO.PKPRECOSWAP = PRECOBAIXA.PKPRECOSWAP)",
             "WHERE PRECO.VLVENDA > 0 ",
             "AND PRECOBAIXA.PKPRECOSWAP IS NULL",
             "ORDER BY PRECO.PKPRECOSWAP",
         }},
        {"TbPrecoSerial",
         {
             "SELECT PKPRECOSERIAL, PKPROMOCAO, PKPHABIL,",
             "    PKFPHABIL, PKPRODUTO, PKFPRODUTO,",
             "    VLVENDA, EXCLUIDO,",
             "    (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,",
             "    0 AS PKFILIALDESTINO",
             "FROM TBPRECOSERIAL PRECO",
             "WHERE PKPRECOSERIAL > :PPKULTIMO",
             "  AND PKPRECOSERIAL > 99999999",
             "  AND VLVENDA > 0 ",
             "ORDER BY PKPRECOSERIAL",
         }},
    };
    // The GSM prices read like the swap prices, over their own tables, with one column more.
    QStringList gsm = own[4].second;
    gsm.replaceInStrings("TBPRECOSWAP", "TBPRECOAPGSM").replaceInStrings("PKPRECOSWAP", "PKPRECOAPGSM");
    gsm[2] = "  PRECO.EXCLUIDO,   (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = PKFPHABIL) AS CDCONTRATO, "
             "0 AS PKFILIALDESTINO, PRECO.PKTPPROMOCAO ";

    int ownCount = 0;
    for (const TCadastroMTable& t : CadastroMTables())
        ownCount += t.OwnQuery.isEmpty() ? 0 : 1;
    EXPECT_EQ(ownCount, 7);
    for (const auto& [dataSet, lines] : own)
        EXPECT_EQ(CadastroMCommandText(ByDataSet(dataSet)), Lines(lines)) << dataSet.toStdString();
    EXPECT_EQ(CadastroMCommandText(ByDataSet("TbPrecoApGSM")), Lines(gsm));
}

TEST(CadastroMCatalogue, FieldListsParseWithTheirCountsAndMarks)
{
    const int counts[63] = {7, 10, 11, 7, 4, 16, 24, 25, 28, 6, 18, 53, 10, 7, 13, 7, 11, 9, 12, 9, 10, 6, 10, 8, 16, 13, 13, 11, 11, 11, 22, 9, 7, 6, 19, 11, 17, 7, 7, 6, 11, 9, 8, 12, 14, 10, 7, 10, 6, 20, 142, 6, 9, 9, 5, 8, 7, 8, 6, 8, 13, 7, 10};
    TFDM_CadastroM module;
    ASSERT_EQ(module.ProviderCount(), 63);

    // The common shape: the key columns (the join columns, or the key rules where
    // the query joins no TBCEC), CDCONTRATO and PKFILIALDESTINO carry K, nothing
    // else is marked. The departures, field by field:
    struct Departure
    {
        QString Table, Field;
        bool Key, Required, ReadOnly;
    };
    const QList<Departure> departures{
        {"TbImpostoNCM", "PKNCM", false, true, false},
        {"TbImpostoNCM", "CDCONTRATO", false, false, false},
        {"TbImpostoNCM", "PKFILIALDESTINO", false, false, false},
        {"TbOperacaoNfe", "CDCONTRATO", true, false, false},
        {"TbOperacaoNfe", "PKFILIALDESTINO", true, false, false},
        {"TbTpOperacaoNfe", "CDCONTRATO", true, false, false},
        {"TbTpOperacaoNfe", "PKFILIALDESTINO", true, false, false},
        {"TbServicoOSFuncionario", "PKFILIALDESTINO", true, false, true},
        {"TbAcao", "PKOPERADORA", false, true, false},
        {"TbFaixaPreco", "PKOPERADORA", false, false, false},
        {"TbServico", "PKOPERADORA", true, true, false},
        {"TbContador", "PKFILIAL", true, true, false},
        {"TbOperacaoNfe", "PKFILIAL", true, true, false},
        {"TbTpOperacaoNfe", "PKFILIAL", true, true, false},
        {"TbMvaNcm", "PKFILIAL", true, true, false},
    };

    for (int i = 0; i < 63; ++i) {
        const TCadastroMTable& t = module.Table(i);
        const TFieldDefs& fields = module.Module().Fields(i);
        SCOPED_TRACE(t.DataSetName.toStdString());
        EXPECT_EQ(fields.size(), counts[i]);

        // CDCONTRATO, str 20, directly followed by PKFILIALDESTINO, int.
        const int contract = IndexOfField(fields, u"CDCONTRATO");
        ASSERT_GE(contract, 0);
        ASSERT_LT(contract + 1, fields.size());
        EXPECT_EQ(fields[contract].DataType, TFieldType::ftString);
        EXPECT_EQ(fields[contract].Size, 20);
        EXPECT_EQ(fields[contract + 1].Name, "PKFILIALDESTINO");
        EXPECT_EQ(fields[contract + 1].DataType, TFieldType::ftInteger);

        QStringList keys = t.JoinColumns.isEmpty() ? t.KeyColumns : t.JoinColumns;
        keys << "CDCONTRATO" << "PKFILIALDESTINO";
        for (const TFieldDef& f : fields) {
            bool key = keys.contains(f.Name, Qt::CaseInsensitive);
            bool required = key;
            bool readOnly = false;
            for (const Departure& d : departures)
                if (d.Table == t.DataSetName && d.Field == f.Name) {
                    key = d.Key;
                    required = d.Required;
                    readOnly = d.ReadOnly;
                }
            EXPECT_EQ(f.ProviderFlags, key ? (pfInUpdate | pfInWhere | pfInKey) : 0) << f.Name.toStdString();
            EXPECT_EQ(f.Required, required) << f.Name.toStdString();
            EXPECT_EQ(f.ReadOnly, readOnly) << f.Name.toStdString();
        }
    }

    // A few types and sizes as listed.
    const TFieldDefs& aliquota = module.Module().Fields(IndexOf("TbAliquota"));
    EXPECT_EQ(FieldListEntry(aliquota[3]), "PEALIQUOTA dec 15.2");
    const TFieldDefs& funcionario = module.Module().Fields(IndexOf("TbFuncionario"));
    EXPECT_EQ(FieldListEntry(funcionario[IndexOfField(funcionario, u"FOTO")]), "FOTO blob");
    const TFieldDefs& fornecedor = module.Module().Fields(IndexOf("TbFornecedor"));
    EXPECT_EQ(FieldListEntry(fornecedor[IndexOfField(fornecedor, u"SGESTADO")]), "SGESTADO char 2");
    const TFieldDefs& operacao = module.Module().Fields(IndexOf("TbOperacaoNfe"));
    EXPECT_EQ(operacao.last().Name, "DTVIGENCIA");
    EXPECT_EQ(FieldListEntry(operacao[IndexOfField(operacao, u"CDCONTRATO")]), "CDCONTRATO str 20 F");
    // Fields after the two added columns stay after them.
    const TFieldDefs& itUsuario = module.Module().Fields(IndexOf("TbItUsuario"));
    EXPECT_EQ(itUsuario.last().Name, "PKMENU");
}

TEST(CadastroMCatalogue, KeyColumnsAgreeWithTheKeyRules)
{
    // Tables whose query matches other columns than the rules name (or none).
    const std::set<QString> differing{"TbPrecoAcessorio", "TbPrecoSwap",     "TbItUsuario",       "TbPrecoApGSM",
                                      "TbQtdMinima",      "TbPrecoSerial",   "TbFaixaPreco",      "TbContador",
                                      "TbOperacaoNfe",    "TbTpOperacaoNfe", "TbMvaNcm",          "TbImpostoNCM",
                                      "TbAdicionalRebate", "TbVigRemuneracaoClaro"};
    for (const TCadastroMTable& t : CadastroMTables()) {
        SCOPED_TRACE(t.DataSetName.toStdString());
        const QString table = t.TableName();
        if (t.PendingBy != TPendingBy::LastKey) {
            QStringList rules{PkTabelaColumn(table), PkTabela2Column(table), PkTabela3Column(table)};
            rules.removeAll(QString());
            EXPECT_EQ(t.KeyColumns, rules);
        }
        EXPECT_EQ(t.PendingBy == TPendingBy::Cec, !t.JoinColumns.isEmpty());
        const bool same = t.JoinColumns.join(' ').compare(t.KeyColumns.join(' '), Qt::CaseInsensitive) == 0;
        EXPECT_EQ(same, differing.count(t.DataSetName) == 0);
        // Every key and join column is a field of the packet.
        const TFieldDefs fields = ParseFieldList(t.FieldList);
        for (const QString& c : t.KeyColumns + t.JoinColumns)
            EXPECT_GE(IndexOfField(fields, c), 0) << c.toStdString();
    }
    EXPECT_EQ(ByDataSet("TbPrecoSwap").MarkerTable(), "TBPRECOSWAPBAIXADA");
    EXPECT_EQ(ByDataSet("TbPrecoSwap").MarkerColumns(), (QStringList{"PKPRECOSWAP", "PKFILIAL"}));
    EXPECT_EQ(ByDataSet("TbQtdMinima").MarkerColumns(), (QStringList{"PKPRODUTO", "PKFPRODUTO", "PKFILIAL"}));
    EXPECT_EQ(ByDataSet("TbAliquota").MarkerTable(), QString());
}

TEST(CadastroMSchema, ShapesDifferOnlyInWhatTheQueriesCompute)
{
    const TTableDefs exporting = CadastroMExportingTables();
    const TTableDefs receiving = CadastroMReceivingTables();
    ASSERT_EQ(exporting.size(), 63 + 6);
    ASSERT_EQ(receiving.size(), 63);
    for (int i = 0; i < 63; ++i) {
        const TCadastroMTable& t = CadastroMTables()[i];
        SCOPED_TRACE(t.DataSetName.toStdString());
        EXPECT_EQ(exporting[i].Name, t.TableName());
        EXPECT_EQ(receiving[i].Name, t.TableName());
        EXPECT_EQ(exporting[i].PrimaryKey, t.KeyColumns);
        EXPECT_EQ(receiving[i].PrimaryKey, t.KeyColumns);
        // The headquarters table lacks exactly what its query makes up.
        const bool ownContract = t.TableName() == "TBEMPRESA";
        EXPECT_EQ(IndexOfField(exporting[i].Columns, u"CDCONTRATO") >= 0, ownContract);
        EXPECT_LT(IndexOfField(exporting[i].Columns, u"PKFILIALDESTINO"), 0);
        const int extra = t.TableName() == "TBFILIAL" ? 1 : 0;
        const int listed = int(ParseFieldList(t.FieldList).size());
        EXPECT_EQ(exporting[i].Columns.size(), listed - (ownContract ? 1 : 2) + extra);
        EXPECT_EQ(receiving[i].Columns.size(), listed + extra);
        for (const TTableDef& def : {exporting[i], receiving[i]})
            for (const TFieldDef& c : def.Columns)
                EXPECT_EQ(c.ProviderFlags, 0);
    }
    EXPECT_EQ(FieldListEntry(receiving[IndexOf("TbFilial")].Columns.last()), "SGESTADO char 2");
    QStringList tracking;
    for (int i = 63; i < exporting.size(); ++i)
        tracking << exporting[i].Name;
    EXPECT_EQ(tracking, (QStringList{"TBCEC", "TBPRECOACESSORIOBAIXADA", "TBPRECOSWAPBAIXADA", "TBITUSUARIOBAIXADA",
                                     "TBPRECOAPGSMBAIXADA", "TBQTDMINIMABAIXADA"}));
}
