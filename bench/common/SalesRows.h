#pragma once

#include "SalesShape.h"
#include "platform/types/DataPacket.h"
#include "platform/types/Decimal.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

// A deterministic batch of `rows` sales rows: every field filled with a value of
// its type (a few left null), strings with Latin-1 letters, a short memo.
inline TDataPacket MakeSalesPacket(int rows)
{
    TDataPacket packet(ParseFieldList(kSalesFieldList));
    const TFieldDefs& defs = packet.Fields();
    QList<QVariant> values(defs.size());
    for (int r = 0; r < rows; ++r) {
        for (int f = 0; f < defs.size(); ++f) {
            const TFieldDef& d = defs[f];
            const int seed = r * 131 + f * 17;
            QVariant& v = values[f];
            if (!d.Required && seed % 23 == 0) {
                v = QVariant();
                continue;
            }
            switch (d.DataType) {
            case TFieldType::ftSmallint: v = qint32(seed % 3); break;
            case TFieldType::ftInteger: v = qint32(f == 0 ? r + 1 : (f == 1 ? 7 : seed % 100000)); break;
            case TFieldType::ftLargeint: v = qint64(seed); break;
            case TFieldType::ftFMTBcd: v = QVariant::fromValue(Decimal(qint64(seed) * 1013 % 99999999, d.Scale)); break;
            case TFieldType::ftDate: v = QDate(2024, 1, 1).addDays(seed % 700); break;
            case TFieldType::ftTime: v = QTime(0, 0).addMSecs((seed * 7919) % 86400000); break;
            case TFieldType::ftTimeStamp:
                v = QDateTime(QDate(2024, 1, 1).addDays(seed % 700), QTime(0, 0).addMSecs(seed % 86400000));
                break;
            case TFieldType::ftMemo:
                v = QStringLiteral("Venda %1 com observação: entrega às %2h, cartão em três parcelas.").arg(r).arg(seed % 24);
                break;
            case TFieldType::ftBlob: v = QByteArray(16, char(seed)); break;
            default: {
                QString s = f == 39 ? QStringLiteral("CONTRATO-%1").arg(r % 3)
                                    : QStringLiteral("Ação%1").arg(seed);
                v = s.left(d.Size);
                break;
            }
            }
        }
        packet.AppendRow(values);
    }
    return packet;
}
