#include "cyclepin.h"

#include "console.h"
#include "libqor-board.h"

CyclePin::CyclePin(PinOut* pinOut0, PinOut* pinOut1) : QObject(nullptr) {
    timeCycle = new QTimer();
    timeCycle->setParent(this); // moves to the cycle thread with this object
    connect(timeCycle, SIGNAL(timeout()), this, SLOT(sl_timeout()));
    pinOut[0] = pinOut0;
    pinOut[1] = pinOut1;
    // The states at start are taken silently; only changes are reported.
    stateKey[0] = board_gpio_get_key_0() != 0;
    stateKey[1] = board_gpio_get_key_1() != 0;
}

void CyclePin::sl_start_cycle() {
    timeCycle->start(100);
}

void CyclePin::sl_timeout() {
    if (stopped) {
        return;
    }
    // An output without a usable configuration is missing and skipped.
    for (PinOut* out : pinOut) {
        if (out) {
            out->process();
        }
    }
    if (changed_state_key_0()) {
        Console::offerLine(QString("Key_0 state: %1").arg(stateKey[0] ? 1 : 0));
    }
    if (changed_state_key_1()) {
        Console::offerLine(QString("Key_1 state: %1").arg(stateKey[1] ? 1 : 0));
    }
    checkFinished();
}

void CyclePin::sl_stop() {
    stopped = true;
    timeCycle->stop();
    for (PinOut* out : pinOut) {
        if (out) {
            out->close();
            out->rest();
        }
    }
}

void CyclePin::sl_finish() {
    finishing = true;
    for (PinOut* out : pinOut) {
        if (out) {
            out->close();
        }
    }
    checkFinished();
}

void CyclePin::checkFinished() {
    if (!finishing) {
        return;
    }
    for (PinOut* out : pinOut) {
        if (out && out->busy()) {
            return;
        }
    }
    finishing = false;
    emit finished();
}

bool CyclePin::changed_state_key_0() {
    bool state = board_gpio_get_key_0() != 0;
    if (state == stateKey[0]) {
        return false;
    }
    stateKey[0] = state;
    return true;
}

bool CyclePin::changed_state_key_1() {
    bool state = board_gpio_get_key_1() != 0;
    if (state == stateKey[1]) {
        return false;
    }
    stateKey[1] = state;
    return true;
}
