#include "cyclepin.h"

#include "console.h"
#include "failsafe.h"
#include "libqor-board.h"
#include "stopcontrol.h"

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
    FailSafe::onThisThread();
    timeCycle->start(100);
}

void CyclePin::sl_timeout() {
    if (!carryOutStop()) {
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
    if (StopControl::state() == StopControl::FINISHING && !busy()) {
        timeCycle->stop();
        StopControl::rested();
    }
}

bool CyclePin::carryOutStop() {
    switch (StopControl::state()) {
    case StopControl::ENDED:
        return false;
    case StopControl::STOPPING:
        timeCycle->stop();
        restPulses();
        StopControl::rested();
        return false;
    case StopControl::SUSPENDING:
        restPulses();
        StopControl::rested(); // returns once the process is continued
        return true;
    default:
        return true;
    }
}

void CyclePin::restPulses() {
    for (PinOut* out : pinOut) {
        if (out) {
            out->rest();
        }
    }
}

bool CyclePin::busy() const {
    for (PinOut* out : pinOut) {
        if (out && out->busy()) {
            return true;
        }
    }
    return false;
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
