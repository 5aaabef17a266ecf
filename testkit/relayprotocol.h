// What the relay driver says to the intercom program, and how fast it ticks,
// as the tests, the fuzz targets and the benchmark expect it. Header only:
// the fuzz targets include it without linking the test kit.
#ifndef RELAYPROTOCOL_H
#define RELAYPROTOCOL_H

#include "qorversion.h"

#include <QSet>
#include <QString>
#include <QStringList>

namespace testkit {
namespace protocol {

// The cycle: keys are read and outputs driven once a tick.
constexpr long long tickUs = 100000;

// The banner's lines up to the device's identifier ("ID: relay..."), which
// comes next.
inline const QStringList bannerHead{"#Relay_driver_v" QOR_VERSION,
                                    "QORA_STM_Driver 2.17",
                                    "",
                                    "Intercom: 10",
                                    "Program_STM: no",
                                    "Shield: no",
                                    "Revision: no"};

// The last banner line; an empty line follows it.
inline const QString ready = "shield_ready";

// The room-list dialogues of "dialplan": the rooms, then the blacklist.
inline const QString roomsAsked = "mask_imit";
inline const QString roomsPrompt = "#Write rooms for shield:";
inline const QString blacklistAsked = "mask_block";
inline const QString blacklistPrompt = "#Write blacklist rooms for shield:";
inline const QString listEnded = "#End read rooms";
inline const QString bigNumber = "Error: big number";
inline const QStringList dialPlanOpened{roomsAsked, roomsPrompt};
inline const QStringList blacklistOpened{blacklistAsked, blacklistPrompt};
inline const QStringList roomsEnded{listEnded, ""};
// Every line a dialogue answers with.
inline const QSet<QString> replies{roomsAsked, roomsPrompt, blacklistAsked, blacklistPrompt,
                                   listEnded,  "",          bigNumber};

// Sent on the debug channel (standard error) for a line in a room list that
// is not a room number.
inline const QString badRoom = QString::fromUtf8("#ERROR: Ошибка ввода квартиры");

// The report of a key change seen by the cycle.
inline QString keyReport(int key, bool pressed) {
    return QString("Key_%1 state: %2").arg(key).arg(pressed ? 1 : 0);
}

// The four key reports of the board's two keys.
inline const QSet<QString> keyReports{keyReport(0, false), keyReport(0, true), keyReport(1, false),
                                      keyReport(1, true)};

} // namespace protocol
} // namespace testkit

#endif
