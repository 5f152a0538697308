// Statements: named parameters, one transaction per statement, result set
// navigation, the engine's errors, reconnecting and reusing prepared statements.

#include "SqlFixture.h"

#include <QFile>

namespace {

QStringList ParamNames(const TSQLDataSet& ds)
{
    QStringList names;
    for (const TParam& p : ds.Params())
        names << p.Name;
    return names;
}

} // namespace

TEST_F(SqlTest, NamedParametersAreFoundOnlyOutsideStringsIdentifiersAndComments)
{
    TSQLDataSet ds(m_conn.get());
    ds.SetCommandText(QStringLiteral(
        "SELECT ':NOTPARAM' AS S, 'it''s :ALSO_NOT' AS Q, CAST(:A AS INTEGER) + CAST(:a AS INTEGER) AS TWICE, "
        "CAST(:B AS VARCHAR(10)) AS \"X:Y\" -- :C1 is a comment\n"
        "/* :C2 \n spans lines */ FROM RDB$DATABASE WHERE 1 = :One"));
    EXPECT_EQ(ParamNames(ds), (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("One")}));

    ds.Params().ParamByName(u"a").Value = 21;
    ds.Params().ParamByName(u"B").Value = QStringLiteral("b:value");
    ds.Params().ParamByName(u"ONE").Value = 1;
    ds.Open();
    ASSERT_FALSE(ds.IsEmpty());
    EXPECT_EQ(ds.FieldByName(u"S").Value(), QVariant(QStringLiteral(":NOTPARAM")));
    EXPECT_EQ(ds.FieldByName(u"Q").Value(), QVariant(QStringLiteral("it's :ALSO_NOT")));
    EXPECT_EQ(ds.FieldByName(u"TWICE").AsInteger(), 42);
    EXPECT_EQ(ds.FieldByName(u"X:Y").Value(), QVariant(QStringLiteral("b:value")));

    // New text: parameters whose names stay keep their values.
    ds.SetCommandText(QStringLiteral("SELECT CAST(:B AS VARCHAR(10)) || CAST(:C AS VARCHAR(5)) FROM RDB$DATABASE"));
    EXPECT_EQ(ParamNames(ds), (QStringList{QStringLiteral("B"), QStringLiteral("C")}));
    EXPECT_EQ(ds.Params()[0].Value, QVariant(QStringLiteral("b:value")));
    EXPECT_TRUE(ds.Params()[1].IsNull());
    ds.Params()[1].Value = QStringLiteral("!");
    ds.Open();
    EXPECT_EQ(ds.Fields(0).AsString(), QStringLiteral("b:value!"));
}

TEST_F(SqlTest, EveryStatementCommitsOnItsOwn)
{
    Exec(QStringLiteral("CREATE TABLE T (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(10))"));
    auto other = NewConnection();

    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QStringLiteral("INSERT INTO T (ID, NAME) VALUES (:ID, :NAME)"));
    ins.Params()[0].Value = 1;
    ins.Params()[1].Value = QStringLiteral("one");
    ins.ExecSQL();
    // Seen at once by another attachment: the insert is committed.
    EXPECT_EQ(Scalar(QStringLiteral("SELECT NAME FROM T WHERE ID = 1"), other.get()), QVariant(QStringLiteral("one")));

    // A failing statement leaves nothing of its work: two rows, the second a duplicate key.
    const QString err = ErrorOf([&] {
        Exec(QStringLiteral("INSERT INTO T (ID, NAME) SELECT 2, 'two' FROM RDB$DATABASE "
                            "UNION ALL SELECT 1, 'dup' FROM RDB$DATABASE"));
    });
    EXPECT_TRUE(err.contains(QStringLiteral("PRIMARY or UNIQUE KEY"))) << err.toStdString();
    EXPECT_EQ(Scalar(QStringLiteral("SELECT COUNT(*) FROM T"), other.get()), QVariant(qint32(1)));

    // An open result set keeps its transaction until Close; writes elsewhere go on.
    TSQLDataSet reader(m_conn.get());
    reader.SetCommandText(QStringLiteral("SELECT ID FROM T"));
    reader.Open();
    Exec(QStringLiteral("UPDATE T SET NAME = 'uno' WHERE ID = 1"), other.get());
    reader.Close();
    EXPECT_EQ(Scalar(QStringLiteral("SELECT NAME FROM T WHERE ID = 1")), QVariant(QStringLiteral("uno")));
}

TEST_F(SqlTest, ResultSetNavigationAndFieldLookup)
{
    Exec(QStringLiteral("CREATE TABLE T (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(10))"));
    Exec(QStringLiteral("INSERT INTO T VALUES (1, 'one')"));
    Exec(QStringLiteral("INSERT INTO T VALUES (2, 'two')"));

    TSQLDataSet ds(m_conn.get());
    ds.SetCommandText(QStringLiteral("SELECT ID AS CODE, NAME FROM T WHERE ID >= :FROM_ID ORDER BY ID"));
    ds.Params()[0].Value = 1;
    EXPECT_FALSE(ds.Active());
    ds.Open();
    EXPECT_TRUE(ds.Active());
    EXPECT_FALSE(ds.IsEmpty());
    EXPECT_EQ(ds.FieldCount(), 2);
    EXPECT_EQ(ds.FieldDefs()[0].Name, QStringLiteral("CODE")); // the alias
    EXPECT_EQ(ds.FindFieldIndex(u"name"), 1);
    EXPECT_EQ(ds.FindFieldIndex(u"ID"), -1);
    EXPECT_EQ(ErrorOf([&] { ds.FieldByName(u"NOPE"); }), QStringLiteral("Field 'NOPE' not found"));

    QStringList names;
    for (; !ds.Eof(); ds.Next())
        names << ds.FieldByName(u"NAME").AsString();
    EXPECT_EQ(names, (QStringList{QStringLiteral("one"), QStringLiteral("two")}));
    ds.Next(); // past the end stays there
    EXPECT_TRUE(ds.Eof());

    ds.Params()[0].Value = 3;
    ds.Open();
    EXPECT_TRUE(ds.Active());
    EXPECT_TRUE(ds.IsEmpty());
    EXPECT_TRUE(ds.Eof());
    ds.Close();
    EXPECT_FALSE(ds.Active());

    // A statement without result set cannot be opened; one with cannot be left unnamed.
    TSQLDataSet bad(m_conn.get());
    bad.SetCommandText(QStringLiteral("DELETE FROM T WHERE ID = 0"));
    EXPECT_FALSE(ErrorOf([&] { bad.Open(); }).isEmpty());
    bad.SetCommandText(QStringLiteral("SELECT * FROM T WHERE ID = :MISSING"));
    bad.Params().Clear();
    EXPECT_TRUE(ErrorOf([&] { bad.Open(); }).contains(QStringLiteral("MISSING")));
}

TEST_F(SqlTest, EngineErrorsCarryTheEnginesOwnText)
{
    TSQLDataSet ds(m_conn.get());
    ds.SetCommandText(QStringLiteral("SELECT * FROM NO_SUCH_TABLE"));
    const QString err = ErrorOf([&] { ds.Open(); });
    EXPECT_TRUE(err.contains(QStringLiteral("Dynamic SQL Error"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("Table unknown"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("NO_SUCH_TABLE"))) << err.toStdString();
    EXPECT_FALSE(ds.Active());

    ds.SetCommandText(QStringLiteral("UPDATE NO_SUCH_TABLE SET X = 1"));
    EXPECT_TRUE(ErrorOf([&] { ds.ExecSQL(); }).contains(QStringLiteral("Table unknown")));

    // Connection failures: a missing file, an empty database name.
    TSQLConnection missing;
    missing.Params().Add(QStringLiteral("DataBase"), m_dir.filePath(QStringLiteral("MISSING.FDB")));
    missing.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    const QString ioErr = ErrorOf([&] { missing.Open(); });
    EXPECT_TRUE(ioErr.contains(QStringLiteral("MISSING.FDB"))) << ioErr.toStdString();
    EXPECT_FALSE(missing.Connected());

    TSQLConnection empty;
    TSQLDataSet onEmpty(&empty);
    onEmpty.SetCommandText(QStringLiteral("SELECT 1 FROM RDB$DATABASE"));
    EXPECT_TRUE(ErrorOf([&] { onEmpty.Open(); }).contains(QStringLiteral("DataBase")));

    TSQLDataSet noConnection;
    noConnection.SetCommandText(QStringLiteral("SELECT 1 FROM RDB$DATABASE"));
    EXPECT_FALSE(ErrorOf([&] { noConnection.Open(); }).isEmpty());

    // Creating over an existing file is refused by the engine.
    EXPECT_FALSE(ErrorOf([&] { CreateDatabase(m_path); }).isEmpty());
}

TEST_F(SqlTest, DataSetsWorkAgainAfterTheConnectionReconnects)
{
    Exec(QStringLiteral("CREATE TABLE T (ID INTEGER)"));
    Exec(QStringLiteral("INSERT INTO T VALUES (5)"));

    TSQLDataSet ds(m_conn.get());
    ds.SetCommandText(QStringLiteral("SELECT ID FROM T WHERE ID = :ID"));
    ds.Params()[0].Value = 5;
    ds.Open();
    EXPECT_TRUE(m_conn->Connected());

    m_conn->Close();
    EXPECT_FALSE(m_conn->Connected());
    EXPECT_FALSE(ds.Active()); // closed with its connection

    ds.Open(); // connects on demand and prepares anew
    EXPECT_TRUE(m_conn->Connected());
    EXPECT_EQ(ds.Fields(0).AsInteger(), 5);

    // Another connection parameter set on the same object: the new attachment is used.
    m_conn->Close();
    m_conn->Params().SetValue(QStringLiteral("ServerCharSet"), QStringLiteral("UTF8"));
    ds.Open();
    EXPECT_EQ(ds.Fields(0).AsInteger(), 5);

    // A data set that outlives its connection is left without one.
    auto temp = NewConnection();
    TSQLDataSet orphan(temp.get());
    orphan.SetCommandText(QStringLiteral("SELECT ID FROM T"));
    orphan.Open();
    temp.reset();
    EXPECT_FALSE(orphan.Active());
    EXPECT_EQ(orphan.SQLConnection(), nullptr);
}

TEST_F(SqlTest, APreparedStatementServesManyExecutions)
{
    Exec(QStringLiteral("CREATE TABLE T (ID INTEGER NOT NULL PRIMARY KEY, V NUMERIC(15,2), NAME VARCHAR(20))"));

    TSQLDataSet ins(m_conn.get());
    ins.SetCommandText(QStringLiteral("INSERT INTO T (ID, V, NAME) VALUES (:ID, :V, :NAME)"));
    TSQLDataSet upd(m_conn.get());
    upd.SetCommandText(QStringLiteral("UPDATE T SET V = V + :D WHERE ID = :ID"));
    TSQLDataSet get(m_conn.get());
    get.SetCommandText(QStringLiteral("SELECT V, NAME FROM T WHERE ID = :ID"));

    // The engine numbers each prepared statement of the attachment.
    const QString updateId = QStringLiteral(
        "SELECT MON$STATEMENT_ID FROM MON$STATEMENTS WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION "
        "AND MON$SQL_TEXT STARTING WITH 'UPDATE T SET'");
    QVariant firstId;
    const int n = 300;
    for (int i = 1; i <= n; ++i) {
        ins.Params()[0].Value = i;
        ins.Params()[1].Value = QVariant::fromValue(Decimal(i * 100 + 1, 2));
        ins.Params()[2].Value = i % 3 == 0 ? QVariant() : QVariant(QStringLiteral("name %1").arg(i));
        ins.ExecSQL();
        // Setting the same text again keeps the prepared statement.
        upd.SetCommandText(QStringLiteral("UPDATE T SET V = V + :D WHERE ID = :ID"));
        upd.Params()[0].Value = QVariant::fromValue(Dec("0.50"));
        upd.Params()[1].Value = i;
        upd.ExecSQL();
        EXPECT_EQ(upd.RowsAffected(), 1);
        if (i == 1)
            firstId = Scalar(updateId);
    }
    EXPECT_EQ(Scalar(updateId), firstId);

    for (int i = 1; i <= n; i += 37) {
        get.Params()[0].Value = i;
        get.Open();
        ASSERT_FALSE(get.IsEmpty());
        EXPECT_EQ(get.Fields(0).Value().value<Decimal>(), Decimal(i * 100 + 51, 2));
        EXPECT_EQ(get.Fields(1).IsNull(), i % 3 == 0);
    }
}

TEST(SqlDatabase, CreateAndDropDatabase)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("NEW.FDB"));
    TCreateDatabaseOptions options;
    options.ForcedWrites = false;
    options.PageSize = 4096;
    CreateDatabase(path, options);
    EXPECT_TRUE(QFile::exists(path));

    TSQLConnection conn;
    conn.Params().Add(QStringLiteral("DataBase"), path);
    conn.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    TSQLDataSet ds(&conn);
    ds.SetCommandText(QStringLiteral(
        "SELECT MON$PAGE_SIZE, MON$SQL_DIALECT, MON$FORCED_WRITES, "
        "(SELECT TRIM(RDB$CHARACTER_SET_NAME) FROM RDB$DATABASE) FROM MON$DATABASE"));
    ds.Open();
    EXPECT_EQ(ds.Fields(0).AsInteger(), 4096);
    EXPECT_EQ(ds.Fields(1).AsInteger(), 3);
    EXPECT_EQ(ds.Fields(2).AsInteger(), 0);
    EXPECT_EQ(ds.Fields(3).AsString(), QStringLiteral("ISO8859_1"));
    conn.Close();

    DropDatabase(path);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(ErrorOf([&] { DropDatabase(path); }).isEmpty());
    EXPECT_TRUE(ErrorOf([] { CreateDatabase(QStringLiteral("  ")); }).contains(QStringLiteral("DataBase")));
}

TEST_F(SqlTest, LookupsReadInReadOnlyTransactionsAndWritesStillCommit)
{
    Exec(QStringLiteral("CREATE TABLE T (K INTEGER NOT NULL PRIMARY KEY, V VARCHAR(10))"));
    TSQLDataSet lookup(m_conn.get());
    lookup.SetCommandText(QStringLiteral("SELECT MON$READ_ONLY FROM MON$TRANSACTIONS "
                                         "WHERE MON$TRANSACTION_ID = CURRENT_TRANSACTION AND MON$TRANSACTION_ID > :K"));
    lookup.Params().ParamByName(u"K").SetAsInteger(0);
    // The first opening prepares the statement; from then on it is known to be a plain SELECT.
    lookup.Open();
    lookup.Close();
    lookup.Open();
    EXPECT_EQ(lookup.Fields(0).AsInteger(), 1);

    // While the lookup is still open, a write on the same connection commits on its own.
    TSQLDataSet exec(m_conn.get());
    exec.SetCommandText(QStringLiteral("INSERT INTO T (K, V) VALUES (:K, :V)"));
    exec.Params().ParamByName(u"K").SetAsInteger(1);
    exec.Params().ParamByName(u"V").SetAsString(QStringLiteral("um"));
    exec.ExecSQL();
    lookup.Close();
    auto other = NewConnection();
    EXPECT_EQ(Scalar(QStringLiteral("SELECT V FROM T WHERE K = 1"), other.get()).toString(), QStringLiteral("um"));

    // A SELECT ... FOR UPDATE keeps a read-write transaction.
    TSQLDataSet locking(m_conn.get());
    locking.SetCommandText(QStringLiteral("SELECT K FROM T WHERE K = :K FOR UPDATE WITH LOCK"));
    locking.Params().ParamByName(u"K").SetAsInteger(1);
    locking.Open();
    locking.Close();
    EXPECT_NO_THROW(locking.Open());
    EXPECT_FALSE(locking.IsEmpty());
    locking.Close();
}
