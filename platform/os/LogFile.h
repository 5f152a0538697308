#pragma once

#include <QByteArray>
#include <QString>

class QFile;

// Files the program writes in folders others may write to as well (the log
// folder, the cycle journal): a symbolic link planted at a file's name never
// redirects what the program reads or writes.

// Writes `bytes` as the whole content of the file at `path`, creating it or
// replacing a regular file there. A symbolic link at that name is replaced by
// the file, never followed, so a link planted in a log folder cannot redirect
// the text elsewhere. Returns an empty text on success, else why it failed.
QString ReplaceFileContent(const QString& path, const QByteArray& bytes);

enum class TNoFollowOpen
{
    Read,
    Append,  // created when missing
    Replace, // created when missing, emptied when present
    Create,  // a new file only
};

// Opens `file` at `path` without following a link at its name: for reading a
// link counts as no file; for appending or replacing the link goes and only a
// new file may take its place. False, with why in `error` when given, when
// the file cannot be opened.
bool OpenNoFollow(QFile& file, const QString& path, TNoFollowOpen how, QString* error = nullptr);

// Renames `from` to `to`, replacing what has that name: a link there is
// replaced itself, never its target.
bool RenameOver(const QString& from, const QString& to);
