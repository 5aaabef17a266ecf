#ifndef CONSOLESCAN_H
#define CONSOLESCAN_H

#include "pinout.h"

#include <QObject>
#include <QStringList>
#include <cstdint>

enum ConsoleModeRead_em : unsigned int {
    READ_COMMANDS = 0,
    READ_VIRTUAL_NUMBERS = 1,
    READ_BLACKLIST_NUMBERS = 2
};

// Reads command lines from standard input on the console thread and runs
// the room-list dialogues of the dial plan.
class ConsoleScan : public QObject {
    Q_OBJECT
    friend class ConsoleScanTest;

  public:
    ConsoleScan(PinOut* pinOut0, PinOut* pinOut1);

    // Handles one line, without its line end, in the current reading mode.
    void scan_line(const QString& line);

  public slots:
    void cycle_scan();

  private:
    struct ReadCommand {
        uint16_t group;
        uint16_t sub;
    };

    ReadCommand mode_read_command(QStringList readStringList);
    int mode_read_list(QStringList readStringList, uint32_t* listPhone);
    void command_spi_do(uint8_t readCommandGroup, uint16_t readCommandSub);
    void activate(int index);

    ConsoleModeRead_em consoleModeRead;
    uint32_t readImitPhone[32] = {};
    uint32_t readBlackPhone[32] = {};
    PinOut* pinOut[2];
};

#endif
