#pragma once

#include "platform/types/DataPacket.h"
#include "platform/types/Params.h"

#include <QByteArray>
#include <QString>

// A source of named providers, as a client data set sees it: the in-process
// TLocalConnection, or the broker of a remote application server.
class IAppServer
{
public:
    virtual ~IAppServer() = default;
    // The provider's declared parameters (names, types, current values).
    virtual TParams AS_GetParams(const QString& providerName) = 0;
    // The data packet text of at most `count` rows (-1 all, 0 metadata only)
    // with the given parameter values.
    virtual QByteArray AS_GetRecords(const QString& providerName, int count, const TParams& params) = 0;
    // The same batch, parsed. Sources that hold the rows already (the local
    // connection) skip the text round trip. With `text`, it receives the text the
    // packet was decoded from, or an empty array when there was none.
    virtual TDataPacket AS_GetPacket(const QString& providerName, int count, const TParams& params,
                                     QByteArray* text = nullptr)
    {
        QByteArray xml = AS_GetRecords(providerName, count, params);
        TDataPacket packet = TDataPacket::FromXml(xml);
        if (text)
            *text = std::move(xml);
        return packet;
    }
};
