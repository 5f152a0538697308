#include "LocalConnection.h"

#include "DataSetProvider.h"
#include "platform/types/Exception.h"

void TLocalConnection::AddProvider(TDataSetProvider* provider) { m_providers.append(provider); }

TDataSetProvider* TLocalConnection::FindProvider(QStringView name) const
{
    for (TDataSetProvider* p : m_providers)
        if (p->Name() == name)
            return p;
    for (TDataSetProvider* p : m_providers)
        if (p->Name().compare(name, Qt::CaseInsensitive) == 0)
            return p;
    return nullptr;
}

namespace {

TDataSetProvider& Required(const TLocalConnection& c, const QString& name)
{
    TDataSetProvider* p = c.FindProvider(name);
    if (!p)
        throw EDatabaseError(QStringLiteral("Provider not found: %1").arg(name));
    return *p;
}

} // namespace

TParams TLocalConnection::AS_GetParams(const QString& providerName)
{
    return Required(*this, providerName).GetParams();
}

QByteArray TLocalConnection::AS_GetRecords(const QString& providerName, int count, const TParams& params)
{
    return AS_GetPacket(providerName, count, params).ToXml();
}

TDataPacket TLocalConnection::AS_GetPacket(const QString& providerName, int count, const TParams& params,
                                           QByteArray* text)
{
    if (text)
        text->clear();
    return Required(*this, providerName).GetRecords(count, params);
}
