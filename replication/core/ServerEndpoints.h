#pragma once

#include <QString>

#include <array>
#include <cstddef>

// Endpoints of the chain's application servers that the start-up upkeep hands
// to the installation's other software (the tbResposta answers) and to the
// legacy replicator (its Config.ini). They are deployment data: this table is
// the one place to change them; docs/configuration.md lists them. Hosts may be
// names or dotted IPv4 addresses; the counts and ports are fixed by the other
// software that reads the answers and are checked below at compile time.
struct TServerEndpoint
{
    const char* Host;
    int Port;
};

// tbResposta question 200.
inline constexpr std::array<TServerEndpoint, 7> Resposta200Endpoints{{
    {"replica1.keltapp.lan", 10311},
    {"replica2.keltapp.lan", 10311},
    {"replica1.keltapp.lan", 311},
    {"10.20.0.11", 10311},
    {"10.20.0.11", 311},
    {"replica1.keltapp.lan", 400},
    {"replica1.keltapp.lan", 10400},
}};

// tbResposta question 262.
inline constexpr std::array<TServerEndpoint, 5> Resposta262Endpoints{{
    {"replica1.keltapp.lan", 10211},
    {"replica2.keltapp.lan", 10211},
    {"replica1.keltapp.lan", 211},
    {"10.20.0.11", 10211},
    {"10.20.0.11", 211},
}};

// tbResposta question 40 (a host without port), also the [SOCKET] Address of
// the legacy configuration file, whose [SOCKET] Port is LegacySocketPort.
inline constexpr const char* Resposta40Host = "replica1.keltapp.lan";
inline constexpr const char* LegacySocketPort = "10211";

namespace ServerEndpointsDetail {
template <std::size_t N>
constexpr bool PortsAre(const std::array<TServerEndpoint, N>& list, const std::array<int, N>& ports)
{
    for (std::size_t i = 0; i < N; ++i)
        if (list[i].Port != ports[i])
            return false;
    return true;
}
} // namespace ServerEndpointsDetail

static_assert(ServerEndpointsDetail::PortsAre(Resposta200Endpoints, {10311, 10311, 311, 10311, 311, 400, 10400}),
              "question 200 takes seven endpoints with these ports, in this order");
static_assert(ServerEndpointsDetail::PortsAre(Resposta262Endpoints, {10211, 10211, 211, 10211, 211}),
              "question 262 takes five endpoints with these ports, in this order");

// "host:port;host:port": no blanks, no trailing separator.
template <std::size_t N>
QString EndpointList(const std::array<TServerEndpoint, N>& list)
{
    QString text;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0)
            text += u';';
        text += QString::fromLatin1(list[i].Host) + u':' + QString::number(list[i].Port);
    }
    return text;
}

// The legacy replicator's configuration file, at a fixed path of the
// installation: C:\ZELVOMARTIS\Replica\KeltAppClient\Config.ini on Windows,
// /opt/zelvomartis/Replica/KeltAppClient/Config.ini on Linux. The environment
// variable KELT_LEGACY_CONFIG names another file (tests, unusual installations).
QString LegacyConfigFilePath();
