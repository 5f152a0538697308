#include "platform/data/ClientDataSet.h"
#include "platform/types/Exception.h"
#include "replication/core/cl_Funcoes.h"

#include <gtest/gtest.h>

namespace {

TFieldDef Field(const char* name, bool inKey, bool required)
{
    TFieldDef f;
    f.Name = QString::fromLatin1(name);
    f.DataType = TFieldType::ftInteger;
    f.ProviderFlags = inKey ? TProviderFlags(pfInUpdate | pfInWhere | pfInKey) : TProviderFlags(pfInUpdate | pfInWhere);
    f.Required = required;
    return f;
}

TClientDataSet DataSetOf(const TFieldDefs& fields)
{
    TClientDataSet cds;
    cds.SetPacket(TDataPacket(fields));
    return cds;
}

} // namespace

TEST(StatementBuilder, TextsFollowKeyAndRequiredMarks)
{
    // Key and required, key only, required only, neither.
    const TFieldDefs fields{Field("PKVENDA", true, true), Field("PKFILIAL", true, false),
                            Field("DTVENDA", false, true), Field("VLVENDA", false, false)};
    const TClientDataSet cds = DataSetOf(fields);
    const TKeltBaseServerClient sc;

    EXPECT_EQ(sc.BuildInsert("TBVENDA", cds),
              "INSERT INTO TBVENDA(PKVENDA,PKFILIAL,DTVENDA,VLVENDA) VALUES (:PKVENDA,:PKFILIAL,:DTVENDA,:VLVENDA)");
    EXPECT_EQ(sc.BuildSelectByKey("TBVENDA", cds),
              "SELECT * FROM TBVENDA WHERE PKVENDA = :PKVENDA AND PKFILIAL = :PKFILIAL AND DTVENDA = :DTVENDA");
    EXPECT_EQ(sc.BuildUpdate("TBVENDA", cds), "UPDATE TBVENDA SET PKFILIAL = :PKFILIAL,DTVENDA = :DTVENDA,"
                                              "VLVENDA = :VLVENDA WHERE PKVENDA = :PKVENDA AND PKFILIAL = :PKFILIAL "
                                              "AND DTVENDA = :DTVENDA");

    // Neither key nor required: the condition is empty and the texts end in " WHERE ".
    const TClientDataSet loose = DataSetOf({Field("A", false, false), Field("B", false, false)});
    EXPECT_EQ(KeyCondition(loose), "");
    EXPECT_EQ(sc.BuildSelectByKey("T", loose), "SELECT * FROM T WHERE ");
    EXPECT_EQ(sc.BuildUpdate("T", loose), "UPDATE T SET A = :A,B = :B WHERE ");
    EXPECT_EQ(sc.BuildInsert("T", loose), "INSERT INTO T(A,B) VALUES (:A,:B)");

    // Key and required everywhere: nothing to set.
    const TClientDataSet keys = DataSetOf({Field("A", true, true)});
    EXPECT_EQ(sc.BuildUpdate("T", keys), "UPDATE T SET  WHERE A = :A");

    const TClientDataSet none = DataSetOf({});
    EXPECT_EQ(sc.BuildInsert("T", none), "INSERT INTO T() VALUES ()");
}

TEST(StatementBuilder, RefusesNamesThatAreNotPlainIdentifiers)
{
    const TKeltBaseServerClient sc;
    const TClientDataSet cds = DataSetOf({Field("PKVENDA", true, true)});
    for (const char* table : {"TBVENDA; DROP TABLE TBVENDA", "TB VENDA", "", "\"TBVENDA\"", "TB--X", "1TB"}) {
        try {
            sc.BuildInsert(QString::fromLatin1(table), cds);
            ADD_FAILURE() << "accepted " << table;
        } catch (const EInvalidIdentifier& e) {
            if (*table) {
                EXPECT_TRUE(e.Message().contains(QString::fromLatin1(table))) << e.what();
            }
        }
        EXPECT_THROW(sc.BuildSelectByKey(QString::fromLatin1(table), cds), EInvalidIdentifier);
        EXPECT_THROW(sc.BuildUpdate(QString::fromLatin1(table), cds), EInvalidIdentifier);
    }

    // A hostile field name is refused wherever it would stand, even outside the key.
    // (A data packet refuses such names already; field lists can come from elsewhere.)
    const TFieldDefs bad{Field("PKVENDA", true, true), Field("X=1 OR 1", false, false)};
    EXPECT_THROW(sc.BuildInsert("TBVENDA", bad), EInvalidIdentifier);
    EXPECT_THROW(sc.BuildUpdate("TBVENDA", bad), EInvalidIdentifier);
    EXPECT_THROW(sc.BuildSelectByKey("TBVENDA", bad), EInvalidIdentifier);
    try {
        ParamList(bad);
        ADD_FAILURE();
    } catch (const EInvalidIdentifier& e) {
        EXPECT_TRUE(e.Message().contains("X=1 OR 1")) << e.what();
    }
}

TEST(KeyColumns, FirstSecondAndThirdKeyColumns)
{
    EXPECT_EQ(PkTabelaColumn("TBVENDA"), "PKVENDA");
    EXPECT_EQ(PkTabelaColumn("TBPRECOSERIAL"), "PKPRECOSERIAL");
    EXPECT_EQ(PkTabelaColumn("TB"), "PK");
    EXPECT_EQ(PkTabelaColumn("tbvenda"), "PKVENDA");
    EXPECT_EQ(PkTabelaColumn("TBDEVOLUCAOCOMPRA"), "PKDEVOLUCAO");
    EXPECT_EQ(PkTabelaColumn("TBIMPORTATRANSFERENCIA"), "PKTRANSFERENCIA");
    EXPECT_EQ(PkTabelaColumn("TBQTDMINIMA"), "PKPRODUTO");
    // Special names are matched exactly.
    EXPECT_EQ(PkTabelaColumn("tbqtdminima"), "PKQTDMINIMA");

    EXPECT_EQ(PkTabela2Column("TBPRODUTO"), "PKOPERADORA");
    EXPECT_EQ(PkTabela2Column("TBVENDA"), "PKFILIAL");
    EXPECT_EQ(PkTabela2Column("TBFILIAL"), "");
    EXPECT_EQ(PkTabela2Column("TBTIPODEOFERTA"), "");
    EXPECT_EQ(PkTabela2Column("TBPRECOACESSORIO"), "PKFPRODUTO");
    EXPECT_EQ(PkTabela2Column("TBIMPOSTONCM"), "PKNCM");
    EXPECT_EQ(PkTabela2Column("tbfilial"), "PKFILIAL");

    EXPECT_EQ(PkTabela3Column("TBQUANTIDADE"), "PKFILIAL");
    EXPECT_EQ(PkTabela3Column("TBVENDA"), "");
}
