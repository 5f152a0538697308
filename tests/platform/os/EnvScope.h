#pragma once

#include <QByteArray>
#include <QtGlobal>

// Sets an environment variable for one test and restores it afterwards.
class TEnvScope
{
public:
    TEnvScope(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~TEnvScope()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};
