#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The one exception family of the program. Channels catch these step by step and
// write the message into the replication log; the shell shows the message of one
// that nobody caught.
class Exception : public std::exception
{
public:
    explicit Exception(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A database, data set, field or parameter failure (also the message of the
// database engine itself).
class EDatabaseError : public Exception
{
public:
    using Exception::Exception;
};

// A database that could not be reached at all (the attach failed: no such
// file, no server, refused login). Nothing done with it can succeed, so a
// channel run ends at once instead of failing row by row.
class EConnectionError : public EDatabaseError
{
public:
    using EDatabaseError::EDatabaseError;
};

// A data packet that is not well-formed or does not fit its own metadata.
class EPacketError : public EDatabaseError
{
public:
    using EDatabaseError::EDatabaseError;
};

// A file that could not be created or written.
class EFCreateError : public Exception
{
public:
    using Exception::Exception;
};

// A name that would reach statement text but is not a plain SQL identifier.
class EInvalidIdentifier : public EDatabaseError
{
public:
    using EDatabaseError::EDatabaseError;
};
