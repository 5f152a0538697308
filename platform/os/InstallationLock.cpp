#include "InstallationLock.h"

#include "LocalSystem.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QString TInstallationLock::CanonicalFolder(const QString& folder)
{
    const QFileInfo info(folder);
    QString path = info.canonicalFilePath();
    if (path.isEmpty()) // a folder that does not exist still gets a stable key
        path = QDir::cleanPath(info.absoluteFilePath());
    if (FileNamesIgnoreCase())
        path = path.toLower(); // one folder, whatever the case it is spelt in
    return path;
}

QString TInstallationLock::LockName(const QString& canonical)
{
    const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256);
    return QStringLiteral("kelt-installation-") + QString::fromLatin1(hash.toHex().left(24));
}
