#pragma once

#include <QByteArray>
#include <QString>

// Writes `bytes` as the whole content of the file at `path`, creating it or
// replacing a regular file there. A symbolic link at that name is replaced by
// the file, never followed, so a link planted in a log folder cannot redirect
// the text elsewhere. Returns an empty text on success, else why it failed.
QString ReplaceFileContent(const QString& path, const QByteArray& bytes);
