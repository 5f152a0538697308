#include "platform/data/ClientDataSet.h"
#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"

#include <gtest/gtest.h>

namespace {

const QByteArray kAliquotas = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<DATAPACKET Version="2.0"><METADATA><FIELDS>
<FIELD attrname="PKALIQUOTA" fieldtype="i4" required="true"><PARAM Name="PROVFLAGS" Value="7" Type="i4"/></FIELD>
<FIELD attrname="NMALIQUOTA" fieldtype="string" WIDTH="60"/>
<FIELD attrname="PEALIQUOTA" fieldtype="fixed" WIDTH="15" DECIMALS="2"/>
</FIELDS><PARAMS/></METADATA><ROWDATA>
<ROW PKALIQUOTA="1" NMALIQUOTA="Isento" PEALIQUOTA="0.00"/>
<ROW PKALIQUOTA="2" NMALIQUOTA="Reduzida" PEALIQUOTA="7.00"/>
<ROW PKALIQUOTA="3" PEALIQUOTA="18.00"/>
</ROWDATA></DATAPACKET>)";

// A provider source that answers with packet text, as the remote application
// servers do; the text path of IAppServer::AS_GetPacket is what is under test.
class TextServer : public IAppServer
{
public:
    QByteArray text;
    QString failure;
    int lastCount = -99;
    TParams lastParams;

    TParams AS_GetParams(const QString& provider) override
    {
        if (!failure.isEmpty())
            throw Exception(failure);
        TParams p;
        p.Add(QStringLiteral("PPKFILIAL"), TFieldType::ftInteger);
        p.Add(provider, TFieldType::ftString);
        return p;
    }
    QByteArray AS_GetRecords(const QString&, int count, const TParams& params) override
    {
        if (!failure.isEmpty())
            throw Exception(failure);
        lastCount = count;
        lastParams = params;
        return text;
    }
};

} // namespace

TEST(ClientDataSet, NavigatesAndNamesFieldsOfALoadedPacket)
{
    TClientDataSet cds;
    EXPECT_TRUE(cds.Eof());
    EXPECT_THROW(cds.XMLData(), EDatabaseError);
    cds.SetXMLData(kAliquotas);
    ASSERT_TRUE(cds.Active());
    EXPECT_EQ(cds.RecordCount(), 3);
    EXPECT_EQ(cds.FieldCount(), 3);
    EXPECT_TRUE(cds.FieldByName(u"pkaliquota").Def().InKey());
    EXPECT_TRUE(cds.FieldByName(u"PKALIQUOTA").Required());

    QStringList names;
    QList<int> keys;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        names << cds.FieldByName(u"NMALIQUOTA").AsString();
        keys << cds.Fields(0).AsInteger();
    }
    EXPECT_EQ(names, QStringList({"Isento", "Reduzida", ""}));
    EXPECT_EQ(keys, QList<int>({1, 2, 3}));
    EXPECT_EQ(cds.RecNo(), 3);
    cds.Next(); // stays at the end
    EXPECT_TRUE(cds.Eof());
    cds.First();
    EXPECT_EQ(cds.RecNo(), 0);
    EXPECT_EQ(cds.FieldByName(u"PEALIQUOTA").Value().value<Decimal>(), Decimal(0, 2));

    try {
        cds.FieldByName(u"NMX");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), u"Field 'NMX' not found");
    }
    EXPECT_THROW(cds.Fields(3), EDatabaseError);

    // The text the data set gives back is the same batch.
    TClientDataSet copy;
    copy.SetXMLData(cds.XMLData());
    EXPECT_EQ(copy.Packet().Fields(), cds.Packet().Fields());
    EXPECT_EQ(copy.Packet().Value(1, 1), QVariant(QStringLiteral("Reduzida")));

    // A refused packet leaves the previous content as it was.
    cds.Next();
    EXPECT_THROW(cds.SetXMLData(QByteArray(kAliquotas).replace("7.00", "7.001")), EPacketError);
    EXPECT_EQ(cds.RecordCount(), 3);
    EXPECT_EQ(cds.RecNo(), 1);

    cds.Close();
    EXPECT_FALSE(cds.Active());
    EXPECT_TRUE(cds.Eof());
    EXPECT_EQ(cds.RecordCount(), 0);
    EXPECT_THROW(cds.Fields(0), EDatabaseError);
    EXPECT_EQ(cds.FieldCount(), 3); // definitions stay after Close

    TClientDataSet empty;
    empty.SetXMLData(QByteArray(kAliquotas).replace(QByteArray("<ROWDATA>"), "<ROWDATA/><!--").replace("</ROWDATA>", "-->"));
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(empty.Eof());
    EXPECT_TRUE(empty.Fields(1).IsNull());
}

TEST(ClientDataSet, OpensFromATextSourceAndStaysClosedOnFailure)
{
    TextServer server;
    server.text = kAliquotas;
    TClientDataSet cds;
    EXPECT_THROW(cds.Open(), EDatabaseError); // no provider
    EXPECT_THROW(cds.FetchParams(), EDatabaseError);

    cds.SetRemoteServer(&server);
    cds.SetProviderName(QStringLiteral("DspAliquota"));
    cds.FetchParams();
    ASSERT_EQ(cds.Params().Count(), 2);
    cds.Params().ParamByName(u"ppkfilial").SetAsInteger(12);
    cds.SetPacketRecords(1000);
    cds.Open();
    EXPECT_EQ(server.lastCount, 1000);
    EXPECT_EQ(server.lastParams.FindParam(u"PPKFILIAL")->Value.toInt(), 12);
    EXPECT_EQ(cds.RecordCount(), 3);
    // The batch goes back (an acknowledgement) as it came, comment and all; once
    // the rows are replaced, they are written afresh.
    server.text = QByteArray(kAliquotas).replace("<ROWDATA>", "<ROWDATA><!-- as sent -->");
    cds.Close();
    cds.Open();
    EXPECT_EQ(cds.XMLData(), server.text);
    cds.SetPacket(TDataPacket::FromXml(kAliquotas));
    EXPECT_FALSE(cds.XMLData().contains("as sent"));
    EXPECT_EQ(TDataPacket::FromXml(cds.XMLData()).RowCount(), 3);
    cds.Close();
    EXPECT_THROW(cds.XMLData(), EDatabaseError);

    server.text = QByteArray(kAliquotas).replace("PKALIQUOTA=\"2\"", "PKALIQUOTA=\"2\" NOVO=\"1\"");
    try {
        cds.Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains(u"NOVO")) << e.Message().toStdString();
    }
    EXPECT_FALSE(cds.Active());

    server.failure = QStringLiteral("Connection refused");
    try {
        cds.Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), u"Connection refused");
    }
    EXPECT_FALSE(cds.Active());
    EXPECT_THROW(cds.FetchParams(), EDatabaseError);
    EXPECT_EQ(cds.Params().Count(), 2); // kept
}

// A batch sent from one data set is settled from its text in another: the rows
// are the batch's own while the text is the one it gave, and read from the text
// otherwise.
TEST(ClientDataSet, TakesTheRowsOfTheBatchItsTextCameFrom)
{
    TextServer server;
    server.text = kAliquotas;
    TClientDataSet sent;
    sent.SetRemoteServer(&server);
    sent.SetProviderName(QStringLiteral("DspAliquota"));
    sent.Open();
    const QByteArray text = sent.XMLData();

    TClientDataSet rows;
    rows.SetXMLData(text, sent);
    EXPECT_EQ(rows.RecordCount(), 3);
    EXPECT_EQ(rows.Packet().Value(1, 1).toString(), "Reduzida");
    EXPECT_EQ(rows.XMLData(), text);

    // A batch written from its rows keeps the text it was written as.
    TClientDataSet local;
    TDataPacket packet = TDataPacket::FromXml(kAliquotas);
    local.SetPacket(packet);
    const QByteArray written = local.XMLData();
    EXPECT_EQ(local.XMLData().constData(), written.constData());
    rows.SetXMLData(written, local);
    EXPECT_EQ(rows.RecordCount(), 3);

    // Other text, the same bytes elsewhere, or a batch no longer open: read from the text.
    QByteArray other = QByteArray(kAliquotas).replace("Isento", "Outro");
    rows.SetXMLData(other, sent);
    EXPECT_EQ(rows.Packet().Value(0, 1).toString(), "Outro");
    const QByteArray copy(text.constData(), text.size());
    rows.SetXMLData(copy, sent);
    EXPECT_EQ(rows.RecordCount(), 3);
    sent.Close();
    EXPECT_THROW(rows.SetXMLData(QByteArray(text).replace("<ROWDATA>", "<ROWDATA><ROW NOVO=\"1\"/>"), sent),
                 EPacketError);
    EXPECT_EQ(rows.RecordCount(), 3); // kept
}
