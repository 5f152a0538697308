#pragma once

#include <QString>
#include <QStringList>

// Named parameters of a statement text. Names are found outside '...' strings,
// "..." identifiers and comments; each is replaced by '?' so the engine can
// prepare the text. Names holds one entry per '?', in order, as written.
struct TParsedSql
{
    QString Sql;
    QStringList Names;
    // Names once each, in order of first appearance (compared without regard to case).
    QStringList UniqueNames() const;
};

TParsedSql ParseNamedParams(const QString& text);
