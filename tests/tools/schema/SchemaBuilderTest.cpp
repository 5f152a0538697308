#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(SchemaBuilder, WritesTablesKeysAndIndexesAndRefusesBadNames)
{
    TTableDef marks = TTableDef::FromNotation(QStringLiteral("TBCEMM"),
                                              QStringLiteral("NMTABELA str 31 R; PKTABELA int R; PKTABELA2 int"));
    marks.Indexes = {{QStringLiteral("PKTABELA"), QStringLiteral("NMTABELA")}};
    EXPECT_EQ(CreateTableStatement(marks),
              QStringLiteral("CREATE TABLE TBCEMM (NMTABELA VARCHAR(31) NOT NULL, PKTABELA INTEGER NOT NULL, "
                             "PKTABELA2 INTEGER)"));
    EXPECT_EQ(CreateIndexStatements(marks),
              QStringList{QStringLiteral("CREATE INDEX IX_TBCEMM_1 ON TBCEMM (PKTABELA,NMTABELA)")});

    const TTableDef keyed = TTableDef::FromNotation(QStringLiteral("TBVENDA"),
                                                    QStringLiteral("PKVENDA int K; PKFILIAL int; VL dec 15.2"),
                                                    {QStringLiteral("PKVENDA"), QStringLiteral("PKFILIAL")});
    EXPECT_TRUE(CreateTableStatement(keyed).endsWith(QStringLiteral("PRIMARY KEY (PKVENDA,PKFILIAL))")));
    EXPECT_TRUE(CreateTableStatement(keyed).contains(QStringLiteral("PKFILIAL INTEGER NOT NULL")));

    TTableDef badIndex = marks;
    badIndex.Indexes = {{QStringLiteral("NOPE")}};
    EXPECT_THROW(CreateIndexStatements(badIndex), EDatabaseError);
    EXPECT_THROW(CreateTableStatement(TTableDef::FromNotation(QStringLiteral("TB;X"), QStringLiteral("A int"))),
                 EInvalidIdentifier);
    EXPECT_THROW(ParseSchemaText(QStringLiteral("TBX (PKX): PKY int")), EDatabaseError);

    TTestDatabase db({marks, keyed});
    TSQLDataSet ds(&db.Connection());
    ds.SetCommandText(QStringLiteral("SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$INDEX_NAME = 'IX_TBCEMM_1'"));
    ds.Open();
    EXPECT_EQ(ds.Fields(0).AsInteger(), 1);
    ds.Close();
}

TEST(SchemaBuilder, ReadsDefinitionFiles)
{
    const TTableDefs tables = ParseSchemaText(QStringLiteral(
        "# demo\n\nTBALIQUOTA (PKALIQUOTA, PKFILIAL): PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60\n"
        "TBLIVRE: A int; B memo\n"));
    ASSERT_EQ(tables.size(), 2);
    EXPECT_EQ(tables[0].PrimaryKey, (QStringList{QStringLiteral("PKALIQUOTA"), QStringLiteral("PKFILIAL")}));
    EXPECT_TRUE(tables[1].PrimaryKey.isEmpty());
    EXPECT_THROW(ParseSchemaText(QStringLiteral("TBX PKX int")), EDatabaseError);
}
