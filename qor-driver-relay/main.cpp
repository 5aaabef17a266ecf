// qor-driver-relay: the intercom program's console driver for the relay board.
#include "console.h"
#include "consolescan.h"
#include "cyclepin.h"
#include "failsafe.h"
#include "libqor-board.h"
#include "outputwriter.h"
#include "qorversion.h"
#include "settings.h"
#include "stopcontrol.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

void printBanner(Settings& settings) {
    Console::writeLine("#Relay_driver_v" QOR_VERSION);
    Console::writeLine("QORA_STM_Driver 2.17");
    StopControl::sleepBeforeBoard(1000);
    Console::writeLine("");
    Console::writeLine("Intercom: 10");
    Console::writeLine("Program_STM: no");
    Console::writeLine("Shield: no");
    Console::writeLine("Revision: no");
    Console::writeLine("ID: relay" + settings.get_uid());
    StopControl::sleepBeforeBoard(1000);
    Console::writeLine("shield_ready");
    Console::writeLine("");
    StopControl::sleepBeforeBoard(100);
}

// An output whose configuration is unusable is left out: its relay is never
// driven and its activations are ignored. Standard output is the protocol
// channel, so the reason goes to standard error.
PinOut* createOutput(Settings& settings, int index, void (*setter)(uint8_t)) {
    PinOut* out = settings.createPinOut(settings.outTypeRel[index], setter);
    if (!out) {
        Console::warn(QString("output %1 (relay %1) is disabled: %2")
                          .arg(index)
                          .arg(settings.errorRel[index]));
    }
    return out;
}

// A standard descriptor closed at start gets /dev/null, so that no file opened
// later takes its number and receives the protocol; without /dev/null there is
// no safe place for it.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) {
            _exit(EXIT_FAILURE);
        }
    }
}

} // namespace

int main(int argc, char* argv[]) {
    openStandardDescriptors();
    FailSafe::install();
    StopControl::installHandlers();
    setvbuf(stdout, nullptr, _IONBF, 0);
    QCoreApplication app(argc, argv);
    Settings settings("/etc/qor-driver/relay-conf.json");
    // Even the banner goes through the writer, so that a reader gone or
    // stuck from the start cannot keep the relays from their resting level.
    OutputWriter writer(Console::out, STDOUT_FILENO, StopControl::readerGone);
    writer.start();
    printBanner(settings);

    board_lib_init();
    board_gpio_init();

    void (*const setter[2])(uint8_t) = {board_gpio_set_relay_0, board_gpio_set_relay_1};
    PinOut* pinOut[2];
    pinOut[0] = createOutput(settings, 0, setter[0]);
    pinOut[1] = createOutput(settings, 1, setter[1]);
    for (int i = 0; i < 2; ++i) {
        if (pinOut[i]) {
            pinOut[i]->set_delay(static_cast<uint16_t>(settings.counterCycleRel[i]));
            if (pinOut[i]->restingLevel() >= 0) {
                FailSafe::restOnCrash(setter[i], uint8_t(pinOut[i]->restingLevel()));
            }
        }
    }

    // Named so that the threads can be told apart from outside.
    QThread threadConsole;
    threadConsole.setObjectName("console");
    ConsoleScan* consoleScan = new ConsoleScan(pinOut[0], pinOut[1]);
    QObject::connect(&threadConsole, SIGNAL(started()), consoleScan, SLOT(cycle_scan()));
    consoleScan->moveToThread(&threadConsole);

    QThread threadCyclePin;
    threadCyclePin.setObjectName("cycle");
    CyclePin* cyclePin = new CyclePin(pinOut[0], pinOut[1]);
    QObject::connect(&threadCyclePin, SIGNAL(started()), cyclePin, SLOT(sl_start_cycle()));
    cyclePin->moveToThread(&threadCyclePin);

    StopControl stopControl; // ends the process (see stopcontrol.h)
    threadCyclePin.start();
    threadConsole.start();
    return app.exec();
}
