#pragma once

#include "AppServer.h"
#include "platform/types/DataPacket.h"
#include "platform/types/Params.h"

#include <QByteArray>
#include <QString>

// An in-memory batch of rows fetched from a provider (local or remote) or
// loaded from data packet text.
class TClientDataSet
{
public:
    TClientDataSet() = default;

    IAppServer* RemoteServer() const { return m_server; }
    void SetRemoteServer(IAppServer* server) { m_server = server; } // borrowed

    const QString& ProviderName() const { return m_providerName; }
    void SetProviderName(const QString& name) { m_providerName = name; }

    // Rows per fetch: -1 all rows, 0 metadata only, N at most N rows.
    int PacketRecords() const { return m_packetRecords; }
    void SetPacketRecords(int n) { m_packetRecords = n; }

    bool FetchOnDemand() const { return m_fetchOnDemand; }
    void SetFetchOnDemand(bool on) { m_fetchOnDemand = on; }

    TParams& Params() { return m_params; }
    const TParams& Params() const { return m_params; }
    // Params := the provider's declared parameters. Raises EDatabaseError
    // without a server or provider name, or when the server fails.
    void FetchParams();

    // Fetches one packet of at most PacketRecords rows with the current Params
    // and positions on the first row. Raises EDatabaseError (nothing changes).
    void Open();
    void Close();
    bool Active() const { return m_active; }

    void First();
    void Next();
    bool Eof() const;
    bool IsEmpty() const;
    int RecordCount() const;
    int RecNo() const { return m_row; } // 0-based current row

    const TFieldDefs& FieldDefs() const;
    int FieldCount() const;
    TField Fields(int index) const;
    TField FieldByName(QStringView name) const; // raises "Field 'NAME' not found"
    // The value of Fields(index) alone, for copying rows: one QVariant made, none copied.
    QVariant FieldValue(int index) const;
    // The same value as a reference into the rows (empty when there are none).
    TPacketCell FieldCell(int index) const;
    int FindFieldIndex(QStringView name) const; // -1 when absent

    // The open batch as data packet text (UTF-8); raises when not active. A batch
    // fetched as text gives that text back as it came; otherwise the text is
    // written once and kept while the batch stays open.
    QByteArray XMLData() const;
    // Replaces the content by a parsed packet and opens it. Raises EPacketError;
    // on failure the previous content stays.
    void SetXMLData(QByteArrayView xml);
    // The same, but when `xml` is the very text `holder`'s XMLData gave for its
    // open batch, the batch's rows are copied instead of read from the text again.
    void SetXMLData(const QByteArray& xml, const TClientDataSet& holder);

    // Direct access for callers that build or inspect batches.
    const TDataPacket& Packet() const { return m_packet; }
    void SetPacket(TDataPacket packet); // opens on the first row

private:
    IAppServer* m_server = nullptr;
    QString m_providerName;
    int m_packetRecords = -1;
    bool m_fetchOnDemand = true;
    TParams m_params;
    TDataPacket m_packet;
    mutable QByteArray m_receivedText; // the text m_packet was fetched or written as, if any
    bool m_active = false;
    int m_row = 0;
};
