// Applying received rows: every row looked up by key, then inserted (first pass)
// or updated (second pass), through TSQLDataSet with the builder's statements,
// against the same statements written directly on the Firebird object API.
// Both sides run one transaction per statement, as the client does.
#include "bench/common/SalesShape.h"
#include "bench/common/SalesRows.h"
#include "platform/data/ClientDataSet.h"
#include "platform/data/Decimal.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/cl_Funcoes.h"
#include "tools/schema/SchemaBuilder.h"

#include <firebird/Interface.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace Firebird;

namespace {

const QString kTable = QStringLiteral("TBVENDA");

struct PassTimes
{
    double insertSeconds = 0;
    double updateSeconds = 0;
};

// ---- the client's path -------------------------------------------------------

void ConfigureConnection(TSQLConnection& c, const QString& path)
{
    c.Params().Clear();
    c.Params().Add(QStringLiteral("DataBase"), path);
    c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
    c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
    c.Params().Add(QStringLiteral("ServerCharSet"), QStringLiteral("ISO8859_1"));
    c.Params().Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
    c.SetLoginPrompt(false);
}

double ApplyThroughClient(const QString& path, TClientDataSet& rows)
{
    TSQLConnection connection;
    ConfigureConnection(connection, path);
    TSQLDataSet lookup(&connection);
    TSQLDataSet exec(&connection);
    TKeltBaseServerClient builder;
    const QString select = builder.BuildSelectByKey(kTable, rows);
    const QString insert = builder.BuildInsert(kTable, rows);
    const QString update = builder.BuildUpdate(kTable, rows);
    lookup.SetCommandText(select);

    QElapsedTimer timer;
    timer.start();
    for (rows.First(); !rows.Eof(); rows.Next()) {
        lookup.Close();
        CopyRowToParams(lookup, rows);
        lookup.Open();
        exec.Close();
        exec.SetCommandText(lookup.IsEmpty() ? insert : update);
        CopyRowToParams(exec, rows);
        exec.ExecSQL();
    }
    lookup.Close();
    const double seconds = timer.nsecsElapsed() / 1e9;
    connection.Close();
    return seconds;
}

// ---- the floor: the same statements on the object API ------------------------

class RawStatement
{
public:
    RawStatement(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, const QString& sql,
                 const TFieldDefs& defs, std::vector<int> paramFields)
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
        (void)defs;
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
            case SQL_VARYING: {
                const QByteArray b = v.toString().toLatin1();
                *reinterpret_cast<unsigned short*>(p) = (unsigned short)b.size();
                std::memcpy(p + 2, b.constData(), b.size());
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

QString Positional(QString sql)
{
    // ":NAME" -> "?" (the builder's texts hold no strings or comments).
    static const QRegularExpression param(QStringLiteral(":[A-Za-z_$][A-Za-z0-9_$]*"));
    return sql.replace(param, QStringLiteral("?"));
}

double ApplyRaw(const QString& path, const TClientDataSet& rows)
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
    const std::vector<unsigned char> tpb(tpbBuilder->getBuffer(&st), tpbBuilder->getBuffer(&st) + tpbBuilder->getBufferLength(&st));
    tpbBuilder->dispose();
    auto begin = [&] { return att->startTransaction(&st, unsigned(tpb.size()), tpb.data()); };

    const TFieldDefs& defs = rows.FieldDefs();
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

    ITransaction* prep = begin();
    RawStatement select(st, att, prep, Positional(builder.BuildSelectByKey(kTable, rows)), defs, keys);
    RawStatement insert(st, att, prep, Positional(builder.BuildInsert(kTable, rows)), defs, all);
    RawStatement update(st, att, prep, Positional(builder.BuildUpdate(kTable, rows)), defs, setThenKeys);
    prep->commit(&st);

    const TDataPacket& packet = rows.Packet();
    QElapsedTimer timer;
    timer.start();
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
    const double seconds = timer.nsecsElapsed() / 1e9;
    att->detach(&st);
    return seconds;
}

PassTimes Run(bool raw, bool forcedWrites, TClientDataSet& rows, const QString& folder)
{
    static int n = 0;
    const QString path = folder + QStringLiteral("/apply%1.fdb").arg(++n);
    BuildDatabase(path, {TTableDef{kTable, rows.FieldDefs(), {QStringLiteral("PKVENDA"), QStringLiteral("PKFILIAL")}}},
                  forcedWrites);
    PassTimes t;
    t.insertSeconds = raw ? ApplyRaw(path, rows) : ApplyThroughClient(path, rows);
    t.updateSeconds = raw ? ApplyRaw(path, rows) : ApplyThroughClient(path, rows);
    return t;
}

} // namespace

int Main(int argc, char** argv);

int main(int argc, char** argv)
{
    try {
        return Main(argc, argv);
    } catch (const FbException& e) {
        char text[2048];
        fb_get_master_interface()->getUtilInterface()->formatStatus(text, sizeof text, e.getStatus());
        std::fprintf(stderr, "bench_apply_rows: %s\n", text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_apply_rows: %s\n", e.what());
    }
    return 1;
}

int Main(int argc, char** argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    QTemporaryDir dir;
    TClientDataSet rows;
    rows.SetPacket(MakeSalesPacket(rowCount));
    std::printf("Applying %d rows of the sales shape (%lld fields), lookup by key then insert / update "
                "(best of %d)\n", rowCount, qlonglong(rows.FieldDefs().size()), repetitions);
    std::printf("%-14s %-7s %14s %14s %14s %14s\n", "forced writes", "pass", "client rows/s", "floor rows/s",
                "ratio", "target");
    for (bool forced : {false, true}) {
        // Floor and client alternate so that drift of the machine hits both;
        // the fastest of the repetitions counts for each.
        PassTimes floorTimes{1e9, 1e9}, clientTimes{1e9, 1e9};
        for (int rep = 0; rep < repetitions; ++rep) {
            const PassTimes f = Run(true, forced, rows, dir.path());
            const PassTimes c = Run(false, forced, rows, dir.path());
            floorTimes = {std::min(floorTimes.insertSeconds, f.insertSeconds), std::min(floorTimes.updateSeconds, f.updateSeconds)};
            clientTimes = {std::min(clientTimes.insertSeconds, c.insertSeconds), std::min(clientTimes.updateSeconds, c.updateSeconds)};
        }
        const auto line = [&](const char* pass, double client, double floor) {
            std::printf("%-14s %-7s %14.0f %14.0f %14.2f %14s\n", forced ? "on" : "off", pass, rowCount / client,
                        rowCount / floor, floor / client, ">= 0.80");
        };
        line("insert", clientTimes.insertSeconds, floorTimes.insertSeconds);
        line("update", clientTimes.updateSeconds, floorTimes.updateSeconds);
    }
    return 0;
}
