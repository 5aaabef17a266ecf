#include "keychannel.h"

#include "probetiming.h"

// An earlier phase may have left the key pressed.
KeyChannel::KeyChannel(int key, const testkit::BoardSandbox& board, int quota)
    : key(key), board(board), quota(quota), pressed(board.keyPressed(key)) {}

bool KeyChannel::due(long long nowUs) const {
    return !waiting && flips() < quota && nowUs >= nextAtUs;
}

void KeyChannel::flip() {
    pressed = !pressed;
    board.setKey(key, pressed);
    sentUs = testkit::monotonicUs();
    waiting = true;
}

void KeyChannel::reported(int state, long long tUs, long long nowUs, std::mt19937& rng) {
    if (!waiting || state != (pressed ? 1 : 0)) {
        return; // not the report of the last flip
    }
    latencyMs.add(static_cast<double>(tUs - sentUs) / 1000.0);
    schedule(nowUs, rng);
}

// Each flip waits for its report, so each tick sees at most one change.
void KeyChannel::schedule(long long nowUs, std::mt19937& rng) {
    waiting = false;
    nextAtUs = probetiming::nextAt(nowUs, rng);
}

void KeyChannel::checkTimeout(long long nowUs, std::mt19937& rng) {
    if (waiting && nowUs - sentUs > probetiming::graceUs) {
        ++lostCount;
        schedule(nowUs, rng);
    }
}
