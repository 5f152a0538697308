// kelt-sign: makes the publisher's Ed25519 key pair and signs self-update
// installers with it. The signature goes beside the installer as
// INSTALLER.sig, where clients fetch it (docs/self-update.md).
#include "update/InstallerSignature.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Fail(int status, const QString& message)
{
    std::fprintf(stderr, "kelt-sign: %s\n", qPrintable(message));
    return status;
}

// Written whole or not at all; `mode` before any byte lands.
bool WriteFile(const QString& path, const QByteArray& bytes, QFile::Permissions mode, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(mode) || file.write(bytes) != bytes.size()
        || !file.commit()) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

int Keygen(const QString& keyFile)
{
    // Overwriting a key would orphan every client built with its public half.
    if (QFileInfo::exists(keyFile))
        return Fail(kFailed, QStringLiteral("%1 exists; not replaced").arg(keyFile));
    const InstallerSignature::TKeyPair pair = InstallerSignature::GenerateKeyPair();
    if (pair.PrivatePem.isEmpty())
        return Fail(kFailed, QStringLiteral("OpenSSL could not make an Ed25519 key"));
    QString error;
    const QByteArray publicText = pair.PublicKey.toBase64();
    if (!WriteFile(keyFile, pair.PrivatePem, QFile::ReadOwner | QFile::WriteOwner, error)
        || !WriteFile(keyFile + QStringLiteral(".pub"), publicText + '\n',
                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther, error))
        return Fail(kFailed, error);
    std::printf("%s\n", publicText.constData());
    return kOk;
}

int Sign(const QString& keyFile, const QString& installer)
{
    QFile key(keyFile);
    if (!key.open(QIODevice::ReadOnly))
        return Fail(kFailed, QStringLiteral("%1: %2").arg(keyFile, key.errorString()));
    QString error;
    const QByteArray line = InstallerSignature::Sign(installer, key.readAll(), error);
    if (line.isEmpty())
        return Fail(kFailed, QStringLiteral("%1: %2").arg(installer, error));
    const QString sigFile = installer + QStringLiteral(".sig");
    if (!WriteFile(sigFile, line, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther, error))
        return Fail(kFailed, error);
    std::printf("%s\n", qPrintable(sigFile));
    return kOk;
}

int Verify(const QString& publicText, const QString& installer)
{
    using namespace InstallerSignature;
    const QByteArray key = DecodePublicKey(publicText);
    if (key.isEmpty())
        return Fail(kUsage, QStringLiteral("--public is not the base64 of a 32-byte key"));
    QFile sig(installer + QStringLiteral(".sig"));
    if (!sig.open(QIODevice::ReadOnly))
        return Fail(kFailed, QStringLiteral("%1: %2").arg(sig.fileName(), sig.errorString()));
    QString detail;
    switch (InstallerSignature::Verify(installer, sig.read(kMaxSignatureFile), key, &detail)) {
    case TVerdict::Valid: std::printf("%s: good signature\n", qPrintable(installer)); return kOk;
    case TVerdict::Malformed: return Fail(kFailed, sig.fileName() + QStringLiteral(": not a signature line"));
    case TVerdict::OtherKey: return Fail(kFailed, QStringLiteral("signed with another key: %1").arg(detail));
    case TVerdict::Altered: return Fail(kFailed, installer + QStringLiteral(": BAD signature (file altered)"));
    case TVerdict::Unreadable: return Fail(kFailed, QStringLiteral("%1: %2").arg(installer, detail));
    }
    return kFailed;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelt-sign"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Signs self-update installers with the publisher's Ed25519 key.\n"
        "  keygen             makes the key pair: the private key (PEM, owner-only) at --key,\n"
        "                     the public key (base64) at --key plus .pub and on standard output\n"
        "  sign INSTALLER     writes INSTALLER.sig, to be served beside the installer\n"
        "  verify INSTALLER   checks INSTALLER.sig against --public, as the client does\n"
        "Exit status: 0 done, 1 failed or refused, 2 usage."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("The private key file (default kelt-sign.key)."),
                                       QStringLiteral("file"), QStringLiteral("kelt-sign.key"));
    const QCommandLineOption publicOption(QStringLiteral("public"),
                                          QStringLiteral("The public key, base64, for verify."),
                                          QStringLiteral("key"));
    parser.addOption(keyOption);
    parser.addOption(publicOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("keygen, sign or verify"));
    if (!parser.parse(QCoreApplication::arguments()))
        return Fail(kUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kOk);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command == QLatin1String("keygen") && args.size() == 1)
        return Keygen(parser.value(keyOption));
    if (command == QLatin1String("sign") && args.size() == 2)
        return Sign(parser.value(keyOption), args[1]);
    if (command == QLatin1String("verify") && args.size() == 2 && parser.isSet(publicOption))
        return Verify(parser.value(publicOption), args[1]);
    return Fail(kUsage, QStringLiteral("usage: kelt-sign keygen [--key FILE] | sign [--key FILE] INSTALLER | "
                                       "verify --public KEY INSTALLER (--help)"));
}
