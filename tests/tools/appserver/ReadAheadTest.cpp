// The stand-in server's batches read ahead and acknowledgements of the batch
// just served: whatever happens between two calls, a row acknowledged is never
// offered again and a pending row is never skipped, also across a restart.
#include "tests/tools/appserver/AppServerTestSupport.h"

namespace {

using namespace appserver_test;

class ReadAheadTest : public StandInServerTest
{
protected:
    void SetUp() override
    {
        StandInServerTest::SetUp();
        Install(5);
        m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas(Range(1, 25)), 0);
        m_client = Store(5);
    }
    static QList<int> Range(int from, int to)
    {
        QList<int> keys;
        for (int k = from; k <= to; ++k)
            keys << k;
        return keys;
    }
    // One batch as the channel takes it; the server reads the next one ahead
    // right away (in the program it does so once the answer is out).
    QJsonObject Fetch(int count = 10)
    {
        const QJsonObject r = Records(*m_client, "DspAliquota", count, 5);
        m_store->ReadAhead(TBook::Cad, "TBALIQUOTA", 5);
        return r;
    }
    void Ack(const QJsonObject& batch) { Acknowledge(*m_client, "TBALIQUOTA", batch["value"].toString().toUtf8(), 5); }
    QString LastOutcome(const QString& method)
    {
        TRawClient admin(m_server->Port());
        admin.Open(TStandInServer::AdminName);
        const QJsonArray calls = admin.Call("CallLog", {})["value"].toArray();
        for (qsizetype i = calls.size() - 1; i >= 0; --i)
            if (calls[i]["method"] == method)
                return calls[i]["outcome"].toString();
        return {};
    }

    std::unique_ptr<TRawClient> m_client;
};

TEST_F(ReadAheadTest, BatchesReadAheadFollowEachOtherWhenAcknowledgedWhole)
{
    QJsonObject batch = Fetch();
    EXPECT_EQ(Keys(batch), Range(1, 10));
    Ack(batch);
    EXPECT_TRUE(LastOutcome("Exclui_No_Servidor").contains("the batch served"));
    batch = Fetch();
    EXPECT_EQ(Keys(batch), Range(11, 20));
    EXPECT_TRUE(LastOutcome("AS_GetRecords").contains("read ahead"));
    // Re-encoded by the client, the same rows are still the batch served.
    Ack(QJsonObject{{"value", QString::fromUtf8(TDataPacket::FromXml(batch["value"].toString().toUtf8()).ToXml())}});
    batch = Fetch();
    EXPECT_EQ(Keys(batch), Range(21, 25));
    Ack(batch);
    EXPECT_EQ(Keys(Fetch()), QList<int>());
    EXPECT_EQ(Pending(*m_client, "TBALIQUOTA", 5), 0);
}

TEST_F(ReadAheadTest, WritesAndOtherAcknowledgementsDiscardTheBatchReadAhead)
{
    QJsonObject batch = Fetch(); // 1..10, and 11..20 read ahead
    // Row 5 (being taken) and row 15 (read ahead) get new values: the
    // acknowledgement takes the versions served, so the new ones stay pending.
    m_store->LoadPacket("TBALIQUOTA", {}, Aliquotas({5, 15}, "Nova"), 0);
    Ack(batch);
    batch = Fetch();
    // Row 5's new version is pending again, before the rows after the batch.
    EXPECT_EQ(Keys(batch), (QList<int>{5, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
    const TDataPacket rows = TDataPacket::FromXml(batch["value"].toString().toUtf8());
    EXPECT_EQ(rows.Value(0, 1).toString(), "Nova 5");
    EXPECT_EQ(rows.Value(5, 1).toString(), "Nova 15");
    Ack(batch);

    // Another connection of the same store takes rows 21 and 22 while 20..
    // is read ahead for this one.
    batch = Fetch();
    EXPECT_EQ(Keys(batch), Range(20, 25));
    auto other = Store(5);
    Acknowledge(*other, "TBALIQUOTA", Aliquotas({21, 22}).ToXml(), 5);
    EXPECT_EQ(Keys(Fetch()), (QList<int>{20, 23, 24, 25}));
}

TEST_F(ReadAheadTest, APartlyAcknowledgedBatchLeavesTheRestPending)
{
    const QJsonObject batch = Fetch();
    Acknowledge(*m_client, "TBALIQUOTA", Aliquotas(Range(1, 5)).ToXml(), 5);
    EXPECT_FALSE(LastOutcome("Exclui_No_Servidor").contains("the batch served"));
    EXPECT_EQ(Keys(Fetch()), Range(6, 15));
    // Other stores are untouched.
    Install(6);
    auto six = Store(6);
    EXPECT_EQ(Keys(Records(*six, "DspAliquota", 3, 6)), Range(1, 3));
}

TEST_F(ReadAheadTest, AcknowledgementsSurviveARestartBeforeTheyReachTheTable)
{
    QJsonObject batch = Fetch();
    Ack(batch); // journalled; the read ahead that would write it into KAS_ACK does not come
    m_client.reset();
    Stop();
    Start();
    m_client = Store(5);
    EXPECT_EQ(m_store->ExecSql("SELECT COUNT(*) FROM KAS_ACKLOG"), "COUNT\n0\n");
    EXPECT_EQ(m_store->ExecSql("SELECT COUNT(*) FROM KAS_ACK WHERE PKFILIAL = 5"), "COUNT\n10\n");
    EXPECT_EQ(Pending(*m_client, "TBALIQUOTA", 5), 15);
    EXPECT_EQ(Keys(Fetch()), Range(11, 20));
}

TEST_F(ReadAheadTest, TablesWithSeveralKeysAreWalkedInKeyOrderOnce)
{
    QList<QList<QVariant>> rows;
    for (int a = 3; a >= 1; --a)
        for (const char* b : {"b", "a", "c"})
            rows.append({a, QString::fromLatin1(b), 10 * a});
    m_store->LoadPacket("TBPAR", {}, Packet("PKA int K; PKB str 5 K; VALOR int", rows), 0);
    QStringList seen;
    for (int pass = 0; pass < 10; ++pass) {
        const QJsonObject r = Records(*m_client, "DspPar", 2, 5);
        m_store->ReadAhead(TBook::Cad, "TBPAR", 5);
        const TDataPacket p = TDataPacket::FromXml(r["value"].toString().toUtf8());
        if (p.RowCount() == 0)
            break;
        for (int i = 0; i < p.RowCount(); ++i)
            seen << QStringLiteral("%1%2").arg(p.Value(i, 0).toInt()).arg(p.Value(i, 1).toString());
        Acknowledge(*m_client, "TBPAR", r["value"].toString().toUtf8(), 5);
    }
    EXPECT_EQ(seen, (QStringList{"1a", "1b", "1c", "2a", "2b", "2c", "3a", "3b", "3c"}));
}

} // namespace
