#include "LogFile.h"

#include <QFile>

QString ReplaceFileContent(const QString& path, const QByteArray& bytes)
{
    QFile file;
    QString error;
    if (!OpenNoFollow(file, path, TNoFollowOpen::Replace, &error))
        return error;
    if (file.write(bytes) != bytes.size() || !file.flush())
        return file.errorString();
    return {};
}
