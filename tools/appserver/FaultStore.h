#pragma once

#include "Faults.h"

#include <QList>

class TStoreDatabase;

// The fault switches kept in KAS_FAULT, so that they outlive a restart.
class TFaultStore
{
public:
    explicit TFaultStore(TStoreDatabase& database) : m_database(database) {}

    QList<TFault> Load();
    int Save(const TFault& fault); // returns the new id
    void Delete(int id);
    void Clear();

private:
    TStoreDatabase& m_database;
};
