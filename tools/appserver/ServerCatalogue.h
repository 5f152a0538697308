#pragma once

#include "platform/types/DataPacket.h"
#include "platform/types/FieldDefs.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class TStoreDatabase;

// The three catalogue objects each keep their own tables: the same table name
// may be carrier data for stores and master data between branches at once.
enum class TBook
{
    Cad,  // KeltCadServer.coKeltCadServer: carrier data loaded by the operator, per store
    CadM, // KeltCadMServer5.coKeltCadMServer5: master data headquarters sends, per destination branch
    MovM, // KeltMovMServer5.coKeltMovMServer5: transactions branches send, for headquarters
};

QString BookObject(TBook book); // the server object's name
// From the server object's name or its short form ("cad", "cadm", "movm").
std::optional<TBook> BookFromName(QStringView name);

// A table one catalogue object serves.
struct TServedTable
{
    TBook Book = TBook::Cad;
    QString Table;    // as the clients name it: upper case, a plain identifier
    QString SqlName;  // its table in the server's database: Table, "CM$" or "MM$" + Table
    QString Provider; // the provider that serves it
    TFieldDefs Fields;
    QStringList Keys;    // the fields a row is found by (its primary key on the server)
    QStringList OrderBy; // the order rows are served in: the keys, condition items by header first
    QString PageKey;     // the key paged by PPKULTIMO (serial prices, carrier promotions); else empty
    int Order = 0;       // creation order, also names its trigger

    bool Paged() const { return !PageKey.isEmpty(); }
    // Whose acknowledgements a call for `store` reads and writes. Transactions
    // have one reader, headquarters, whose acknowledgements are kept as store 0.
    qint32 Reader(qint32 store) const { return Book == TBook::MovM ? 0 : store; }
};

// The tables the catalogue objects serve, as KAS_TABLE lists them, each with
// its table in the database (columns, trigger and version index).
class TServerCatalogue
{
public:
    // Reads the tables.
    explicit TServerCatalogue(TStoreDatabase& database);

    const QList<TServedTable>& Tables() const { return m_tables; }
    const TServedTable* FindTable(TBook book, QStringView table) const;
    const TServedTable* FindProvider(TBook book, QStringView provider) const;
    // By its table in the database.
    const TServedTable* FindSqlName(const QString& sqlName) const;

    // Checks a packet for `book`'s table whole before anything is written:
    // names, key fields, required values and, for a table already served, the
    // same fields. Creates the table on first use and takes a provider named
    // for it. Raises EDatabaseError for a packet the server cannot keep.
    const TServedTable& PrepareLoad(TBook book, const QString& table, const QString& provider,
                                    const TDataPacket& packet);
    // Reads KAS_TABLE again (an operator statement may have changed it).
    void ReadTables();
    // Tables of databases from before the version index get it.
    void EnsureSeqIndexes();

private:
    const TServedTable& CreateTable(TBook book, const QString& table, const QString& provider,
                                    const TFieldDefs& fields);

    TStoreDatabase& m_database;
    QList<TServedTable> m_tables;
};
