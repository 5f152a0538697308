#include "FbApi.h"

#include <QRegularExpression>

#include <iberror.h>

#include <algorithm>

using namespace Firebird;

namespace fb {

IMaster* Master()
{
    static IMaster* const master = fb_get_master_interface();
    return master;
}

IUtil* Util()
{
    static IUtil* const util = Master()->getUtilInterface();
    return util;
}

IProvider* Provider()
{
    // One dispatcher for the process; the engine keeps its plugins loaded anyway.
    static IProvider* const provider = Master()->getDispatcher();
    return provider;
}

QString FormatStatus(const IStatus* status)
{
    char buffer[4096];
    const unsigned n = Util()->formatStatus(buffer, sizeof buffer, const_cast<IStatus*>(status));
    QString text = QString::fromLocal8Bit(buffer, qsizetype(std::min<unsigned>(n, sizeof buffer - 1)));
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringLiteral("Unknown database error") : text;
}

namespace {

// The attachment is gone (the server or the network went away, the database was
// shut down, an administrator ended the connection): nothing more can be done
// with it, like an attach that failed.
bool ConnectionLost(const IStatus* status)
{
    const ISC_STATUS* v = const_cast<IStatus*>(status)->getErrors();
    for (int i = 0; v && v[i] != isc_arg_end;) {
        if (v[i] == isc_arg_gds) {
            switch (v[i + 1]) {
            case isc_network_error:
            case isc_net_read_err:
            case isc_net_write_err:
            case isc_lost_db_connection:
            case isc_conn_lost:
            case isc_shutdown:
            case isc_att_shutdown:
                return true;
            default:
                break;
            }
        }
        i += v[i] == isc_arg_cstring ? 3 : 2;
    }
    return false;
}

} // namespace

void Status::Raise()
{
    QString message = FormatStatus(status);
    const bool lost = ConnectionLost(status);
    clearException();
    if (lost)
        throw EConnectionError(message);
    throw EDatabaseError(message);
}

Xpb::Xpb(unsigned kind)
{
    m_xpb = Util()->getXpbBuilder(&m_status, kind, nullptr, 0);
}

Xpb::~Xpb()
{
    if (m_xpb)
        m_xpb->dispose();
}

unsigned Xpb::Length()
{
    return m_xpb->getBufferLength(&m_status);
}

const unsigned char* Xpb::Buffer()
{
    return m_xpb->getBuffer(&m_status);
}

std::vector<unsigned char> Xpb::Bytes()
{
    const unsigned char* p = Buffer();
    return std::vector<unsigned char>(p, p + Length());
}

Codec Codec::ForCharSet(const QString& name)
{
    Codec c;
    const QString n = name.trimmed().toUpper();
    if (n.isEmpty() || n == u"ISO8859_1" || n == u"NONE" || n == u"OCTETS" || n == u"ASCII") {
        c.m_kind = Kind::Latin1;
        return c;
    }
    if (n == u"UTF8" || n == u"UNICODE_FSS") {
        c.m_kind = Kind::Utf8;
        c.m_bytesPerChar = n == u"UTF8" ? 4 : 3;
        return c;
    }
    // Other single-byte sets through Qt's converters when it knows them.
    QString qtName;
    static const QRegularExpression win(QStringLiteral("^WIN(125\\d)$"));
    static const QRegularExpression iso(QStringLiteral("^ISO8859_(\\d+)$"));
    if (auto m = win.match(n); m.hasMatch())
        qtName = QStringLiteral("windows-") + m.captured(1);
    else if (auto m2 = iso.match(n); m2.hasMatch())
        qtName = QStringLiteral("ISO-8859-") + m2.captured(1);
    else if (n == u"KOI8R" || n == u"KOI8U")
        qtName = QStringLiteral("KOI8-") + n.back();
    if (!qtName.isEmpty()) {
        QStringDecoder probe(qtName.toLatin1().constData());
        if (probe.isValid()) {
            c.m_kind = Kind::Named;
            c.m_name = qtName.toLatin1();
            return c;
        }
    }
    throw EDatabaseError(QStringLiteral("Character set '%1' is not supported by this client").arg(name));
}

QString Codec::Decode(const char* data, qsizetype size) const
{
    switch (m_kind) {
    case Kind::Latin1:
        return QString::fromLatin1(data, size);
    case Kind::Utf8:
        return QString::fromUtf8(data, size);
    case Kind::Named:
        break;
    }
    QStringDecoder decoder(m_name.constData());
    return decoder.decode(QByteArrayView(data, size));
}

QByteArray Codec::Encode(const QString& text) const
{
    switch (m_kind) {
    case Kind::Latin1:
        return text.toLatin1();
    case Kind::Utf8:
        return text.toUtf8();
    case Kind::Named:
        break;
    }
    QStringEncoder encoder(m_name.constData());
    return encoder.encode(text);
}

QByteArray ReadBlob(Status& st, IAttachment* att, ITransaction* tra, const ISC_QUAD& id)
{
    Ref<IBlob> blob(att->openBlob(&st, tra, const_cast<ISC_QUAD*>(&id), 0, nullptr));

    QByteArray data;
    const unsigned char items[] = {isc_info_blob_total_length};
    unsigned char info[32] = {};
    blob->getInfo(&st, sizeof items, items, sizeof info, info);
    if (info[0] == isc_info_blob_total_length) {
        const int len = info[1] | (info[2] << 8);
        qint64 total = 0;
        for (int i = len - 1; i >= 0 && i < 8; --i)
            total = (total << 8) | info[3 + i];
        if (total > 0)
            data.reserve(qsizetype(total));
    }

    char chunk[65535];
    for (;;) {
        unsigned got = 0;
        const int rc = blob->getSegment(&st, sizeof chunk, chunk, &got);
        if (rc == IStatus::RESULT_NO_DATA)
            break;
        data.append(chunk, got);
    }
    blob->close(&st);
    blob.Forget();
    return data;
}

ISC_QUAD WriteBlob(Status& st, IAttachment* att, ITransaction* tra, const QByteArray& data)
{
    ISC_QUAD id{};
    Ref<IBlob> blob(att->createBlob(&st, tra, &id, 0, nullptr));
    constexpr qsizetype segment = 32768;
    for (qsizetype pos = 0; pos < data.size(); pos += segment) {
        const qsizetype n = std::min(segment, data.size() - pos);
        blob->putSegment(&st, unsigned(n), data.constData() + pos);
    }
    blob->close(&st);
    blob.Forget();
    return id;
}

} // namespace fb
