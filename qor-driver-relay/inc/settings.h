#ifndef SETTINGS_H
#define SETTINGS_H

#include "pinout.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <cstdint>

// The relay configuration, read once at start, and the device identifier.
class Settings {
  public:
    enum PinOutType : unsigned int { ON_DELAY = 0, OFF_DELAY = 1, TOGGLE = 2, ERROR = 3 };

    // A larger file is not read: the configuration is a few hundred bytes.
    static const int maxFileSize = 64 * 1024;

    explicit Settings(const QString& nameJson);

    PinOut* createPinOut(int outType, void (*board_gpio_set_relay)(uint8_t));
    QString get_uid();

    PinOutType outTypeRel[2];
    int counterCycleRel[2];
    // Why an output has ERROR as its behaviour; empty when it has another.
    QString errorRel[2];

  private:
    PinOutType getOutTypeRel(const QString& key);
    // The file's "Rel" array; `problem` says what went wrong, if anything.
    static QJsonArray readRel(const QString& nameJson, QString& problem);
    // Empty when `bytes` holds the whole file, else why it does not.
    static QString readSmallFile(const QString& path, QByteArray& bytes);
    static bool readAtMost(int fd, int limit, QByteArray& bytes);
    static QString quoted(const QString& name);
    static int readCounterCycle(const QJsonValue& value);
};

#endif
