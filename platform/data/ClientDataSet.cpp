#include "ClientDataSet.h"

#include "platform/types/Exception.h"

namespace {

const QString kClosed = QStringLiteral("Cannot perform this operation on a closed dataset");

// Whatever a source raises reaches the caller as a database error with the
// source's own message.
template <class F>
auto AsDatabaseError(F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const EDatabaseError&) {
        throw;
    } catch (const Exception& e) {
        throw EDatabaseError(e.Message());
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw EDatabaseError(QString::fromLocal8Bit(e.what()));
    }
}

} // namespace

void TClientDataSet::FetchParams()
{
    if (!m_server)
        throw EDatabaseError(QStringLiteral("Missing remote server"));
    if (m_providerName.isEmpty())
        throw EDatabaseError(QStringLiteral("Missing provider name"));
    m_params = AsDatabaseError([&] { return m_server->AS_GetParams(m_providerName); });
}

void TClientDataSet::Open()
{
    if (m_active)
        return;
    if (!m_server || m_providerName.isEmpty())
        throw EDatabaseError(QStringLiteral("Missing data provider or data packet"));
    QByteArray text;
    TDataPacket packet =
        AsDatabaseError([&] { return m_server->AS_GetPacket(m_providerName, m_packetRecords, m_params, &text); });
    SetPacket(std::move(packet));
    m_receivedText = std::move(text);
}

void TClientDataSet::Close()
{
    m_active = false;
    m_row = 0;
    m_packet.Clear(); // the field definitions stay, the rows go
    m_receivedText.clear();
}

void TClientDataSet::First() { m_row = 0; }

void TClientDataSet::Next()
{
    if (m_active && m_row < m_packet.RowCount())
        ++m_row;
}

bool TClientDataSet::Eof() const { return !m_active || m_row >= m_packet.RowCount(); }

bool TClientDataSet::IsEmpty() const { return !m_active || m_packet.RowCount() == 0; }

int TClientDataSet::RecordCount() const { return m_active ? m_packet.RowCount() : 0; }

const TFieldDefs& TClientDataSet::FieldDefs() const { return m_packet.Fields(); }

int TClientDataSet::FieldCount() const { return int(m_packet.Fields().size()); }

TField TClientDataSet::Fields(int index) const
{
    if (!m_active)
        throw EDatabaseError(kClosed);
    const TFieldDefs& defs = m_packet.Fields();
    if (index < 0 || index >= defs.size())
        throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(index));
    // Past the end the last row stays current, as after a Next on the last row.
    const int rows = m_packet.RowCount();
    if (rows == 0)
        return TField(&defs[index], QVariant());
    return TField(&defs[index], m_packet.Value(m_row < rows ? m_row : rows - 1, index));
}

QVariant TClientDataSet::FieldValue(int index) const
{
    if (!m_active)
        throw EDatabaseError(kClosed);
    if (index < 0 || index >= m_packet.Fields().size())
        throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(index));
    const int rows = m_packet.RowCount();
    return rows == 0 ? QVariant() : m_packet.Value(m_row < rows ? m_row : rows - 1, index);
}

TPacketCell TClientDataSet::FieldCell(int index) const
{
    if (!m_active)
        throw EDatabaseError(kClosed);
    if (index < 0 || index >= m_packet.Fields().size())
        throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(index));
    const int rows = m_packet.RowCount();
    return rows == 0 ? TPacketCell() : m_packet.Cell(m_row < rows ? m_row : rows - 1, index);
}

TField TClientDataSet::FieldByName(QStringView name) const
{
    const int i = FindFieldIndex(name);
    if (i < 0)
        throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    return Fields(i);
}

int TClientDataSet::FindFieldIndex(QStringView name) const { return IndexOfField(m_packet.Fields(), name); }

QByteArray TClientDataSet::XMLData() const
{
    if (!m_active)
        throw EDatabaseError(kClosed);
    // The rows cannot change while open, so the text they came in is the batch
    // exactly as received, and writing it again would cost as much as reading it.
    if (m_receivedText.isEmpty())
        m_receivedText = m_packet.ToXml();
    return m_receivedText;
}

void TClientDataSet::SetXMLData(QByteArrayView xml)
{
    SetPacket(TDataPacket::FromXml(xml));
}

void TClientDataSet::SetXMLData(const QByteArray& xml, const TClientDataSet& holder)
{
    // Sent batches are settled from their text while still open where they came from.
    const QByteArray& held = holder.m_receivedText;
    if (&holder != this && holder.m_active && !held.isEmpty() && held.constData() == xml.constData() &&
        held.size() == xml.size()) {
        SetPacket(holder.m_packet);
        m_receivedText = xml;
    } else {
        SetXMLData(QByteArrayView(xml));
    }
}

void TClientDataSet::SetPacket(TDataPacket packet)
{
    m_packet = std::move(packet);
    m_receivedText.clear();
    m_active = true;
    m_row = 0;
}
