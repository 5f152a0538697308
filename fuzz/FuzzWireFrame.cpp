// Wire decoder under hostile bytes: the stream is fed in uneven pieces, as a
// socket delivers it; every fault must be a protocol error, and a message that
// parses must encode and parse back to itself.
#include "remote/wire/JsonCodec.h"
#include "remote/wire/WireProtocol.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    // The first byte chooses the piece size, so the fuzzer explores splits too.
    const qsizetype piece = size > 0 ? 1 + data[0] % 17 : 1;
    wire::TFrameReader reader;
    try {
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            reader.Append(bytes.sliced(at, qMin(piece, bytes.size() - at)));
            while (const auto message = reader.Next()) {
                const QByteArray frame = wire::EncodeFrame(*message);
                wire::TFrameReader echo;
                echo.Append(frame);
                const auto back = echo.Next();
                if (!back || *back != *message) {
                    std::fprintf(stderr, "frame does not survive its own encoding\n");
                    std::abort();
                }
            }
        }
    } catch (const wire::EProtocolError&) {
    }

    // The JSON codec on its own, on the whole input.
    try {
        const QJsonValue value = wire::ParseJson(bytes);
        QByteArray text;
        wire::AppendJson(text, value);
        if (wire::ParseJson(text) != value) {
            std::fprintf(stderr, "JSON does not survive its own encoding\n");
            std::abort();
        }
    } catch (const wire::EProtocolError&) {
    }
    return 0;
}
