#pragma once

// A server certificate made at test time with the openssl command, as
// docs/appserver.md tells an operator to make one: an EC P-256 key and a
// self-signed certificate for 127.0.0.1. Its pin is computed by the openssl
// command too, so the tests hold the client to the documented recipe.
// Header-only and free of GoogleTest so that the benchmarks can use it.

#include "platform/types/Exception.h"

#include <QProcess>
#include <QString>
#include <QStringList>

class TTlsCertificate
{
public:
    // Writes `<name>.cert.pem` and `<name>.key.pem` into `folder` (with
    // trailing separator). Raises Exception with openssl's output on failure.
    TTlsCertificate(const QString& folder, const QString& name)
        : m_certificate(folder + name + QStringLiteral(".cert.pem")), m_key(folder + name + QStringLiteral(".key.pem"))
    {
        Run({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-keyout"), m_key, QStringLiteral("-out"), m_certificate, QStringLiteral("-days"),
             QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
             QStringLiteral("subjectAltName=IP:127.0.0.1")});
        const QByteArray out = Shell(QStringLiteral("openssl x509 -in '%1' -pubkey -noout | openssl pkey -pubin "
                                                    "-outform der | openssl dgst -sha256")
                                         .arg(m_certificate));
        // "SHA2-256(stdin)= 3f...": the hex after "= ".
        m_fingerprint = QString::fromLatin1(out.mid(out.lastIndexOf('=') + 1).trimmed());
        if (m_fingerprint.size() != 64)
            throw Exception(QStringLiteral("openssl printed no SHA-256: %1").arg(QString::fromLocal8Bit(out)));
    }

    const QString& CertificateFile() const { return m_certificate; }
    const QString& KeyFile() const { return m_key; }
    // SHA-256 of the public key (SubjectPublicKeyInfo), 64 lower-case hex digits.
    const QString& Fingerprint() const { return m_fingerprint; }

private:
    static QByteArray Run(const QStringList& args)
    {
        return Wait(QStringLiteral("openssl"), args);
    }
    static QByteArray Shell(const QString& command)
    {
        return Wait(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    }
    static QByteArray Wait(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            throw Exception(QStringLiteral("%1 %2 failed: %3")
                                .arg(program, args.join(u' '), QString::fromLocal8Bit(p.readAll())));
        return p.readAll();
    }

    QString m_certificate;
    QString m_key;
    QString m_fingerprint;
};
