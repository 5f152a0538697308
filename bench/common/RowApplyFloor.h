#pragma once

// The row-applying floor of the benchmarks: every row of a batch looked up by
// key, then inserted or updated, with the statement builder's texts prepared
// once on the Firebird object API and bound straight from the packet's values.
// One transaction per statement, as the client runs them by default, or one per
// batch of rows. Whatever the client adds on top of this (parameters, data sets,
// the network) is measured against it.

#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"
#include "replication/core/cl_Funcoes.h"

#include <firebird/Interface.h>

#include <QDate>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QString>
#include <QTime>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace floor_apply {

using namespace Firebird;

class RawStatement
{
public:
    RawStatement(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, const QString& sql,
                 std::vector<int> paramFields)
        : m_st(st), m_att(att), m_fields(std::move(paramFields))
    {
        const QByteArray text = sql.toLatin1();
        m_stmt = att->prepare(&st, tra, 0, text.constData(), 3, IStatement::PREPARE_PREFETCH_METADATA);
        m_in = m_stmt->getInputMetadata(&st);
        m_inBuffer.resize(m_in->getMessageLength(&st));
        m_out = m_stmt->getOutputMetadata(&st);
        m_outBuffer.resize(m_out->getMessageLength(&st));
        for (unsigned i = 0; i < m_in->getCount(&st); ++i)
            m_slots.push_back({m_in->getType(&st, i) & ~1u, m_in->getOffset(&st, i), m_in->getNullOffset(&st, i),
                               m_in->getLength(&st, i), -m_in->getScale(&st, i)});
    }
    ~RawStatement()
    {
        m_in->release();
        m_out->release();
        try {
            m_stmt->free(&m_st);
        } catch (...) {
        }
    }
    RawStatement(const RawStatement&) = delete;
    RawStatement& operator=(const RawStatement&) = delete;

    void Bind(ITransaction* tra, const TDataPacket& packet, int row, IUtil* util)
    {
        unsigned char* buf = m_inBuffer.data();
        for (size_t i = 0; i < m_slots.size(); ++i) {
            const Slot& s = m_slots[i];
            const QVariant v = packet.Value(row, m_fields[i]);
            *reinterpret_cast<short*>(buf + s.nullOffset) = v.isNull() ? -1 : 0;
            if (v.isNull())
                continue;
            unsigned char* p = buf + s.offset;
            switch (s.type) {
            case SQL_SHORT: *reinterpret_cast<short*>(p) = short(v.toInt()); break;
            case SQL_LONG: *reinterpret_cast<int*>(p) = v.toInt(); break;
            case SQL_INT64: {
                const Decimal d = v.metaType() == QMetaType::fromType<Decimal>() ? v.value<Decimal>()
                                                                                 : Decimal(v.toLongLong(), 0);
                *reinterpret_cast<ISC_INT64*>(p) = d.Rescaled(s.scale)->Units();
                break;
            }
            case SQL_TYPE_DATE: {
                const QDate d = v.toDate();
                *reinterpret_cast<ISC_DATE*>(p) = util->encodeDate(d.year(), d.month(), d.day());
                break;
            }
            case SQL_TYPE_TIME: {
                const QTime t = v.toTime();
                *reinterpret_cast<ISC_TIME*>(p) = util->encodeTime(t.hour(), t.minute(), t.second(), t.msec() * 10);
                break;
            }
            case SQL_TEXT: {
                const QByteArray b = v.toString().toLatin1().leftJustified(int(s.length), ' ', true);
                std::memcpy(p, b.constData(), size_t(b.size()));
                break;
            }
            case SQL_VARYING: {
                const QByteArray b = v.toString().toLatin1();
                *reinterpret_cast<unsigned short*>(p) = (unsigned short)b.size();
                std::memcpy(p + 2, b.constData(), size_t(b.size()));
                break;
            }
            case SQL_BLOB: {
                const QByteArray b = v.toString().toUtf8();
                ISC_QUAD id;
                IBlob* blob = m_att->createBlob(&m_st, tra, &id, 0, nullptr);
                blob->putSegment(&m_st, unsigned(b.size()), b.constData());
                blob->close(&m_st);
                *reinterpret_cast<ISC_QUAD*>(p) = id;
                break;
            }
            default: std::fprintf(stderr, "unexpected type %u\n", s.type); std::abort();
            }
        }
    }

    bool Exists(ITransaction* tra)
    {
        IResultSet* rs = m_stmt->openCursor(&m_st, tra, m_in, m_inBuffer.data(), m_out, 0);
        const bool found = rs->fetchNext(&m_st, m_outBuffer.data()) == IStatus::RESULT_OK;
        rs->close(&m_st);
        return found;
    }

    void Execute(ITransaction* tra) { m_stmt->execute(&m_st, tra, m_in, m_inBuffer.data(), nullptr, nullptr); }

private:
    struct Slot
    {
        unsigned type, offset, nullOffset, length;
        int scale;
    };
    ThrowStatusWrapper& m_st;
    IAttachment* m_att;
    std::vector<int> m_fields;
    IStatement* m_stmt = nullptr;
    IMessageMetadata* m_in = nullptr;
    IMessageMetadata* m_out = nullptr;
    std::vector<unsigned char> m_inBuffer, m_outBuffer;
    std::vector<Slot> m_slots;
};

// ":NAME" -> "?" (the builder's texts hold no strings or comments).
inline QString Positional(QString sql)
{
    static const QRegularExpression param(QStringLiteral(":[A-Za-z_$][A-Za-z0-9_$]*"));
    return sql.replace(param, QStringLiteral("?"));
}

// Applies every row of `packet` to `table` of the embedded database at `path`
// and returns the seconds the rows took (attaching and preparing excluded).
// `rowsPerTransaction` 0: every statement in a transaction of its own; n > 0:
// the lookups and writes of n rows at a time in one transaction (-1 all rows).
inline double ApplyRaw(const QString& path, const QString& table, const TDataPacket& packet,
                       int rowsPerTransaction = 0)
{
    IMaster* master = fb_get_master_interface();
    ThrowStatusWrapper st(master->getStatus());
    IUtil* util = master->getUtilInterface();
    IXpbBuilder* dpb = util->getXpbBuilder(&st, IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
    dpb->insertString(&st, isc_dpb_password, "quillbent");
    dpb->insertString(&st, isc_dpb_lc_ctype, "ISO8859_1");
    const QByteArray file = path.toLocal8Bit();
    IAttachment* att =
        master->getDispatcher()->attachDatabase(&st, file.constData(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
    dpb->dispose();
    IXpbBuilder* tpbBuilder = util->getXpbBuilder(&st, IXpbBuilder::TPB, nullptr, 0);
    tpbBuilder->insertTag(&st, isc_tpb_read_committed);
    tpbBuilder->insertTag(&st, isc_tpb_rec_version);
    tpbBuilder->insertTag(&st, isc_tpb_wait);
    const std::vector<unsigned char> tpb(tpbBuilder->getBuffer(&st),
                                         tpbBuilder->getBuffer(&st) + tpbBuilder->getBufferLength(&st));
    tpbBuilder->dispose();
    auto begin = [&] { return att->startTransaction(&st, unsigned(tpb.size()), tpb.data()); };

    const TFieldDefs& defs = packet.Fields();
    TKeltBaseServerClient builder;
    std::vector<int> all, keys, setThenKeys;
    for (int i = 0; i < defs.size(); ++i) {
        all.push_back(i);
        if (defs[i].InKey() || defs[i].Required)
            keys.push_back(i);
        if (!(defs[i].InKey() && defs[i].Required))
            setThenKeys.push_back(i);
    }
    setThenKeys.insert(setThenKeys.end(), keys.begin(), keys.end());

    double seconds = 0;
    {
        ITransaction* prep = begin();
        RawStatement select(st, att, prep, Positional(builder.BuildSelectByKey(table, defs)), keys);
        RawStatement insert(st, att, prep, Positional(builder.BuildInsert(table, defs)), all);
        RawStatement update(st, att, prep, Positional(builder.BuildUpdate(table, defs)), setThenKeys);
        prep->commit(&st);

        QElapsedTimer timer;
        timer.start();
        if (rowsPerTransaction == 0) {
            for (int r = 0; r < packet.RowCount(); ++r) {
                ITransaction* tra = begin();
                select.Bind(tra, packet, r, util);
                const bool exists = select.Exists(tra);
                tra->commit(&st);
                tra = begin();
                RawStatement& write = exists ? update : insert;
                write.Bind(tra, packet, r, util);
                write.Execute(tra);
                tra->commit(&st);
            }
        } else {
            const int perBatch = rowsPerTransaction < 0 ? packet.RowCount() : rowsPerTransaction;
            for (int first = 0; first < packet.RowCount(); first += perBatch) {
                ITransaction* tra = begin();
                for (int r = first; r < std::min(first + perBatch, packet.RowCount()); ++r) {
                    select.Bind(tra, packet, r, util);
                    RawStatement& write = select.Exists(tra) ? update : insert;
                    write.Bind(tra, packet, r, util);
                    write.Execute(tra);
                }
                tra->commit(&st);
            }
        }
        seconds = timer.nsecsElapsed() / 1e9;
    }
    att->detach(&st);
    return seconds;
}

// The text of a Firebird error of the floor.
inline QString ErrorText(const FbException& e)
{
    char text[2048];
    fb_get_master_interface()->getUtilInterface()->formatStatus(text, sizeof text, e.getStatus());
    return QString::fromLocal8Bit(text);
}

// A benchmark's main: its body's status, or 1 with the error that ended it.
template <class Body>
int RunBenchmark(const char* name, Body body)
{
    try {
        return body();
    } catch (const FbException& e) {
        std::fprintf(stderr, "%s: %s\n", name, qPrintable(ErrorText(e)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
    }
    return 1;
}

} // namespace floor_apply
