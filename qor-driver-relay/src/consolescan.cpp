#include "consolescan.h"

#include "console.h"
#include "failsafe.h"
#include "stopcontrol.h"

#include <QDebug>
#include <climits>

namespace {

// A decimal number as the protocol takes it: white space around it, an
// optional sign, one or more ASCII digits, and a value within 32 bits.
// A value out of range does not read at all; it is never wrapped.
bool readDecimal(const QString& token, bool allowMinus, long long max, long long& value) {
    QString t = token.trimmed();
    int pos = 0;
    bool negative = false;
    if (pos < t.size() && (t[pos] == '+' || (allowMinus && t[pos] == '-'))) {
        negative = t[pos] == '-';
        ++pos;
    }
    if (pos == t.size()) {
        return false;
    }
    long long v = 0;
    for (; pos < t.size(); ++pos) {
        ushort c = t[pos].unicode();
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
        if (v > max + 1) {
            return false;
        }
    }
    if (v > max + (negative ? 1 : 0)) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

bool readUnsigned(const QString& token, uint32_t& value) {
    long long v = 0;
    if (!readDecimal(token, false, UINT_MAX, v)) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool readSigned(const QString& token, int32_t& value) {
    long long v = 0;
    if (!readDecimal(token, true, INT_MAX, v)) {
        return false;
    }
    value = static_cast<int32_t>(v);
    return true;
}

uint16_t powerOfTen(int exponent) {
    uint16_t p = 1;
    while (exponent-- > 0) {
        p = static_cast<uint16_t>(p * 10);
    }
    return p;
}

int decimalDigits(uint16_t value) {
    int n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

// Each line is decoded on its own, so no byte sequence carries over to later
// lines. A byte order mark is kept as a character of its line, which then
// matches no command.
QString decodeLine(const QByteArray& line) {
    // With its length, so that a NUL byte stays in the line instead of ending it.
    QString text = QString::fromUtf8(line.constData(), line.size());
    if (line.startsWith("\xEF\xBB\xBF")) {
        text.prepend(QChar(0xFEFF)); // fromUtf8 drops a leading one
    }
    return text;
}

} // namespace

ConsoleScan::ConsoleScan(PinOut* pinOut0, PinOut* pinOut1)
    : QObject(nullptr), consoleModeRead(READ_COMMANDS) {
    pinOut[0] = pinOut0;
    pinOut[1] = pinOut1;
}

void ConsoleScan::cycle_scan() {
    FailSafe::onThisThread();
    QByteArray line;
    // At the end of input the loop returns; the thread then only idles in its
    // event loop while the relays and keys go on being served.
    while (Console::in.readLine(line)) {
        scan_line(decodeLine(line));
    }
}

void ConsoleScan::scan_line(const QString& line) {
    QStringList readStringList = line.split(' ');
    switch (consoleModeRead) {
    case READ_VIRTUAL_NUMBERS:
        if (mode_read_list(readStringList, readImitPhone) < 0) {
            consoleModeRead = READ_BLACKLIST_NUMBERS;
            Console::writeLines({"mask_block", "#Write blacklist rooms for shield:"});
        }
        break;
    case READ_BLACKLIST_NUMBERS:
        if (mode_read_list(readStringList, readBlackPhone) < 0) {
            consoleModeRead = READ_COMMANDS;
        }
        break;
    default: {
        ReadCommand command = mode_read_command(readStringList);
        command_spi_do(static_cast<uint8_t>(command.group), command.sub);
        break;
    }
    }
}

ConsoleScan::ReadCommand ConsoleScan::mode_read_command(QStringList readStringList) {
    ReadCommand result{0, 0};
    // A NUL byte is part of no command, so a line holding one matches none.
    for (const QString& token : readStringList) {
        if (token.contains(QChar(0))) {
            return result;
        }
    }
    uint16_t readUint[2] = {0, 0};
    uint32_t value = 0;
    bool firstIsNumber = readUnsigned(readStringList.at(0), value);
    readUint[0] = static_cast<uint16_t>(value);

    if (firstIsNumber && readStringList.size() == 1) {
        int digits = decimalDigits(readUint[0]);
        if (digits == 1) {
            result = {readUint[0], 0xFFFF};
        } else {
            uint16_t rest = powerOfTen(digits - 1);
            result = {static_cast<uint16_t>(readUint[0] / rest),
                      static_cast<uint16_t>(readUint[0] % rest)};
        }
        return result;
    }
    if (firstIsNumber && readStringList.size() == 2) {
        if (readUnsigned(readStringList.at(1), value)) {
            readUint[1] = static_cast<uint16_t>(value);
            result = {readUint[0], readUint[1]};
        }
        return result;
    }

    const QString& keyword = readStringList.at(0);
    bool hasSecond = readStringList.size() >= 2;
    uint32_t second = 0;
    bool secondIsNumber = hasSecond && readUnsigned(readStringList.at(1), second);
    if (!secondIsNumber) {
        second = 0;
    }
    if (keyword == "pickup") {
        result = {1, 0};
    } else if (keyword == "open") {
        result = {2, hasSecond ? static_cast<uint16_t>(static_cast<uint8_t>(second)) : uint16_t(3)};
    } else if (keyword == "drop") {
        result = {3, 0};
    } else if (keyword == "dial") {
        result = {4, static_cast<uint16_t>(second)};
    } else if (keyword == "phonedetect") {
        result = {5, static_cast<uint16_t>(second)};
    } else if (keyword == "dialplan") {
        result = {6, 0};
    }
    return result;
}

int ConsoleScan::mode_read_list(QStringList readStringList, uint32_t* listPhone) {
    int32_t value = 0;
    if (readStringList.size() != 1 || !readSigned(readStringList.at(0), value)) {
        qDebug().noquote() << "#ERROR: Ошибка ввода квартиры";
        return 0;
    }
    int16_t room = static_cast<int16_t>(value);
    if (room < 0) {
        Console::writeLines({"#End read rooms", ""});
        return -1;
    }
    if (room >= 1024) {
        Console::writeLine("Error: big number");
        return 0;
    }
    listPhone[room / 32] |= 1u << (room % 32);
    return 0;
}

void ConsoleScan::command_spi_do(uint8_t readCommandGroup, uint16_t readCommandSub) {
    switch (readCommandGroup) {
    case 2:
        if (readCommandSub == 0xFFFF) {
            activate(0);
        } else {
            activate(static_cast<uint8_t>(readCommandSub));
        }
        break;
    case 6:
        consoleModeRead = READ_VIRTUAL_NUMBERS;
        Console::writeLines({"mask_imit", "#Write rooms for shield:"});
        break;
    default:
        break; // pickup, drop, dial, phone detect and the rest: no action here
    }
}

// Outputs 0 and 1 only; a missing (unconfigured) output ignores activations,
// and so does every output once the driver is on its way out.
void ConsoleScan::activate(int index) {
    if (index >= 0 && index < 2 && pinOut[index] && StopControl::takesActivations()) {
        pinOut[index]->activate();
    }
}
