// Peak resident memory of decoding a 100,000-row sales packet into a client
// data set, relative to the size of the packet text (which is in memory too).

#include "bench/common/SalesRows.h"
#include "platform/data/ClientDataSet.h"

#include <QFile>

#include <cstdio>

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
qint64 StatusBytes(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key) && line.size() > qsizetype(std::strlen(key)) && line[std::strlen(key)] == ':')
            return line.mid(qsizetype(std::strlen(key)) + 1).trimmed().split(' ').first().toLongLong() * 1024;
    return -1;
}

// The packet text: the rows of one 1,000-row batch repeated, so that building
// it costs little more than the text itself.
QByteArray SalesText(int rows)
{
    const int chunk = 1000;
    const QByteArray xml = MakeSalesPacket(chunk).ToXml();
    const qsizetype open = xml.indexOf("<ROWDATA>") + 9;
    const qsizetype close = xml.lastIndexOf("</ROWDATA>");
    const QByteArrayView head(xml.constData(), open);
    const QByteArrayView body(xml.constData() + open, close - open);
    const QByteArrayView tail(xml.constData() + close, xml.size() - close);
    QByteArray text;
    text.reserve(head.size() + body.size() * (rows / chunk) + tail.size());
    text.append(head);
    for (int i = 0; i < rows / chunk; ++i)
        text.append(body);
    text.append(tail);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    const int rows = argc > 1 ? std::atoi(argv[1]) / 1000 * 1000 : 100000;
    const qint64 baseline = StatusBytes("VmRSS");
    const QByteArray text = SalesText(rows);
    TClientDataSet cds;
    cds.SetXMLData(text);
    const qint64 peak = StatusBytes("VmHWM");
    if (cds.RecordCount() != rows) {
        std::fprintf(stderr, "decoded %d rows, expected %d\n", cds.RecordCount(), rows);
        return 1;
    }
    const double ratio = double(peak - baseline) / double(text.size());
    std::printf("packet text: %.1f MB for %d rows; baseline RSS %.1f MB; peak RSS %.1f MB\n", text.size() / 1e6, rows,
                baseline / 1e6, peak / 1e6);
    std::printf("RESULT packet_memory (peak_rss - baseline)/text_size = %.2f (target <= 3) %s\n", ratio,
                ratio <= 3 ? "PASS" : "FAIL");
    return 0;
}
