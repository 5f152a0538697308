#pragma once

#include "AppServer.h"

#include <QList>

class TDataSetProvider;

// Opens the providers of a provider module by name, in this process.
class TLocalConnection : public IAppServer
{
public:
    void AddProvider(TDataSetProvider* provider); // borrowed
    int ProviderCount() const { return int(m_providers.size()); }
    TDataSetProvider* Provider(int i) const { return m_providers[i]; }
    // Exact name first, then without regard to case; nullptr when absent.
    TDataSetProvider* FindProvider(QStringView name) const;

    // Raise EDatabaseError "Provider not found: NAME" for an unknown name.
    TParams AS_GetParams(const QString& providerName) override;
    QByteArray AS_GetRecords(const QString& providerName, int count, const TParams& params) override;
    TDataPacket AS_GetPacket(const QString& providerName, int count, const TParams& params,
                             QByteArray* text = nullptr) override;

private:
    QList<TDataSetProvider*> m_providers;
};
