#pragma once

// A fresh embedded database per test, made with CreateDatabase directly so the
// SQL layer is tested on its own.

#include "platform/types/Decimal.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <memory>

class SqlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("TEST.FDB"));
        TCreateDatabaseOptions options;
        options.ForcedWrites = false;
        CreateDatabase(m_path, options);
        m_conn = NewConnection();
    }

    void TearDown() override { m_conn.reset(); }

    std::unique_ptr<TSQLConnection> NewConnection(const QString& charSet = QStringLiteral("ISO8859_1"))
    {
        auto c = std::make_unique<TSQLConnection>(QStringLiteral("Test"));
        c->Params().Add(QStringLiteral("DataBase"), m_path);
        c->Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
        c->Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
        c->Params().Add(QStringLiteral("ServerCharSet"), charSet);
        c->Params().Add(QStringLiteral("SQLDialect"), QStringLiteral("3"));
        c->SetLoginPrompt(false);
        return c;
    }

    void Exec(const QString& sql, TSQLConnection* conn = nullptr)
    {
        TSQLDataSet ds(conn ? conn : m_conn.get());
        ds.SetCommandText(sql);
        ds.ExecSQL();
    }

    // The single value of a one-row query.
    QVariant Scalar(const QString& sql, TSQLConnection* conn = nullptr)
    {
        TSQLDataSet ds(conn ? conn : m_conn.get());
        ds.SetCommandText(sql);
        ds.Open();
        EXPECT_FALSE(ds.IsEmpty()) << sql.toStdString();
        return ds.IsEmpty() ? QVariant() : ds.Fields(0).Value();
    }

    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<TSQLConnection> m_conn;
};

inline Decimal Dec(const char* text)
{
    return *Decimal::Parse(QString::fromLatin1(text));
}

// Message of the EDatabaseError `f` raises; fails the test when none is raised.
template <class F>
QString ErrorOf(F&& f)
{
    try {
        f();
    } catch (const EDatabaseError& e) {
        return e.Message();
    }
    ADD_FAILURE() << "no EDatabaseError raised";
    return QString();
}
