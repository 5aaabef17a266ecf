#ifndef SETTINGS_H
#define SETTINGS_H

#include "pinout.h"

#include <QJsonObject>
#include <QString>
#include <cstdint>

// The relay configuration, read once at start, and the device identifier.
class Settings {
  public:
    enum PinOutType : unsigned int { ON_DELAY = 0, OFF_DELAY = 1, TOGGLE = 2, ERROR = 3 };

    explicit Settings(const QString& nameJson);

    PinOut* createPinOut(int outType, void (*board_gpio_set_relay)(uint8_t));
    QString get_uid();

    PinOutType outTypeRel[2];
    int counterCycleRel[2];
    // Why an output has ERROR as its behaviour; empty when it has another.
    QString errorRel[2];

  private:
    PinOutType getOutTypeRel(const QString& key);
    // The top-level object of the file; `problem` says what went wrong.
    static QJsonObject readTopObject(const QString& nameJson, QString& problem);
    static int readCounterCycle(const QJsonValue& value);
};

#endif
