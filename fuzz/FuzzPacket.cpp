// Data packet decoder under hostile text: a refused packet must raise the
// packet error (never crash or raise anything else), and an accepted one must
// survive its own encoding unchanged.
#include "platform/types/DataPacket.h"
#include "platform/types/Exception.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char*>(data), qsizetype(size));
    TDataPacket packet;
    try {
        packet = TDataPacket::FromXml(text);
    } catch (const Exception&) {
        return 0;
    }
    const QByteArray once = packet.ToXml();
    TDataPacket again;
    try {
        again = TDataPacket::FromXml(once);
    } catch (const Exception& e) {
        std::fprintf(stderr, "own encoding refused: %s\n", e.what());
        std::abort();
    }
    if (again.ToXml() != once || again.RowCount() != packet.RowCount()) {
        std::fprintf(stderr, "encoding not stable\n");
        std::abort();
    }
    return 0;
}
