#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

// Fault switches of the stand-in server: they make one method misbehave at a
// chosen call so that every failure path of a client can be driven for real.
enum class TFaultKind
{
    False,     // answer false
    Minus1,    // answer -1
    Value,     // answer a given JSON value (for example -5)
    Raise,     // error answer
    Drop,      // close the connection without answering
    Malformed, // AS_GetRecords: a packet text that is not well-formed
    Hostile,   // AS_GetRecords: a packet with a field name no SQL may take
    Repeat,    // AS_GetRecords: ignore acknowledgements and PPKULTIMO (same batch again)
    DropAfter, // do the method's work, then close the connection without answering
    Stall,     // do the work, then hold the answer `value` ms (or until the client hangs up)
};

QString FaultKindName(TFaultKind kind);
std::optional<TFaultKind> ParseFaultKind(QStringView name);

struct TFault
{
    int Id = 0;
    QString Method;    // compared without regard to case
    QString Table;     // empty: any table
    int At = 1;        // fires from the At-th matching call on
    bool Once = false; // fires once, then is gone
    TFaultKind Kind = TFaultKind::Raise;
    QJsonValue Value; // the answer of TFaultKind::Value
    int Seen = 0;     // matching calls since the server started

    QJsonObject ToJson() const;
    // Raises Exception on a switch that makes no sense (unknown kind, At < 1, a
    // packet switch on a method other than AS_GetRecords).
    static TFault FromJson(const QJsonObject& spec);
};

// The switches in force, in the order they were set. Matching counts the call
// for every switch it matches; the first one due fires.
class TFaultBook
{
public:
    using TRemover = std::function<void(int id)>;

    void Reset(QList<TFault> faults) { m_faults = std::move(faults); }
    void Add(const TFault& fault) { m_faults.append(fault); }
    void Clear() { m_faults.clear(); }
    const QList<TFault>& Faults() const { return m_faults; }

    // The switch that fires for this call, if any. A Once switch that fires is
    // taken out and handed to `remove` (to forget it for good).
    std::optional<TFault> Match(QStringView method, QStringView table, const TRemover& remove);

private:
    QList<TFault> m_faults;
};
