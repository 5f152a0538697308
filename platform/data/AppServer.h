#pragma once

#include "DataPacket.h"
#include "Params.h"

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
    // connection) skip the text round trip.
    virtual TDataPacket AS_GetPacket(const QString& providerName, int count, const TParams& params)
    {
        return TDataPacket::FromXml(AS_GetRecords(providerName, count, params));
    }
};
