#include "relaychannel.h"

#include "boardops.h"
#include "probetiming.h"

#include <algorithm>

using probetiming::tickUs;

RelayChannel::RelayChannel(int relay, int pulseTicks, int quota)
    : relay(relay), pulseTicks(pulseTicks), quota(quota) {}

QString RelayChannel::traceOp() const {
    return boardop::relay[relay];
}

QByteArray RelayChannel::command() const {
    return QByteArray("open ") + QByteArray::number(relay) + '\n';
}

void RelayChannel::startFrom(int startLevel) {
    if (currentLevel < 0 && startLevel >= 0) {
        currentLevel = restLevel = startLevel;
    }
}

bool RelayChannel::due(long long nowUs) const {
    return phase == IDLE && currentLevel >= 0 && completed + lostCount < quota && nowUs >= nextAtUs;
}

void RelayChannel::sent(long long callUs, long long doneUs) {
    phase = SENT;
    sentUs = doneUs;
    writeWaitMs.add(static_cast<double>(doneUs - callUs) / 1000.0);
}

void RelayChannel::levelCalled(long long tUs, int newLevel, long long nowUs, std::mt19937& rng) {
    if (currentLevel < 0) {
        startFrom(newLevel); // the resting level written at start
        return;
    }
    if (newLevel == currentLevel) {
        return; // a pulse output writes its level again on every tick
    }
    currentLevel = newLevel;
    onChange(tUs, nowUs, rng);
}

void RelayChannel::onChange(long long tUs, long long nowUs, std::mt19937& rng) {
    if (phase == SENT) {
        // Earlier than sentUs only when the writer thread was held up between
        // its write and its clock reading: the line was in the pipe by then.
        latencyMs.add(static_cast<double>(std::max(0LL, tUs - sentUs)) / 1000.0);
        if (pulseTicks == 0) {
            ++completed;
            rest(nowUs, rng);
        } else {
            phase = PULSING;
            riseUs = tUs;
        }
    } else if (phase == PULSING && currentLevel == restLevel) {
        pulseErrorMs.add(static_cast<double>(tUs - riseUs - pulseTicks * tickUs) / 1000.0);
        ++completed;
        rest(nowUs, rng);
    }
}

void RelayChannel::rest(long long nowUs, std::mt19937& rng) {
    phase = IDLE;
    nextAtUs = probetiming::nextAt(nowUs, rng);
}

long long RelayChannel::timeoutUs() const {
    return pulseTicks * tickUs + probetiming::graceUs;
}

void RelayChannel::checkTimeout(long long nowUs, std::mt19937& rng) {
    long long since = phase == SENT ? sentUs : riseUs;
    if ((phase == SENT || phase == PULSING) && nowUs - since > timeoutUs()) {
        ++lostCount;
        rest(nowUs, rng);
    }
}

bool RelayChannel::done() const {
    return phase == IDLE && completed + lostCount >= quota;
}
