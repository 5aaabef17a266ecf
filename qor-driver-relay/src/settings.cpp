#include "settings.h"

#include "outtoggle.h"
#include "outturnoff.h"
#include "outturnon.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The reason for a failed call, from errno.
QString unreadable(const QString& path) {
    return QString("%1 could not be read (%2)").arg(path, QString::fromLocal8Bit(strerror(errno)));
}

QString notRegular(const QString& path, mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "of another type";
    return QString("%1 is not a regular file but %2").arg(path, kind);
}

bool isControl(uint code) {
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// Takes one code point from `text` at `i` and moves past it.
uint nextCodePoint(const QString& text, int& i) {
    QChar c = text.at(i++);
    if (c.isHighSurrogate() && i < text.size() && text.at(i).isLowSurrogate()) {
        return QChar::surrogateToUcs4(c, text.at(i++));
    }
    return c.unicode();
}

QString escaped(uint code) {
    if (QChar::requiresSurrogates(code)) {
        return escaped(QChar::highSurrogate(code)) + escaped(QChar::lowSurrogate(code));
    }
    return QString("\\u%1").arg(code, 4, 16, QChar('0'));
}

} // namespace

Settings::Settings(const QString& nameJson) {
    QString problem;
    QJsonArray relArray = readRel(nameJson, problem);
    for (int i = 0; i < 2; ++i) {
        QJsonObject element = relArray.at(i).toObject();
        QString name = element.value("PinOutType").toString();
        outTypeRel[i] = getOutTypeRel(name);
        counterCycleRel[i] = readCounterCycle(element.value("counterCycle"));
        if (outTypeRel[i] != ERROR) {
            errorRel[i].clear();
        } else if (!problem.isEmpty()) {
            errorRel[i] = problem;
        } else if (i >= relArray.size()) {
            errorRel[i] = QString("\"Rel\" has no element %1").arg(i);
        } else if (!element.value("PinOutType").isString()) {
            errorRel[i] = QString("element %1 of \"Rel\" has no \"PinOutType\" text").arg(i);
        } else {
            errorRel[i] = QString("unknown \"PinOutType\" %1").arg(quoted(name));
        }
    }
}

QJsonArray Settings::readRel(const QString& nameJson, QString& problem) {
    QByteArray bytes;
    problem = readSmallFile(nameJson, bytes);
    if (!problem.isEmpty()) {
        return QJsonArray();
    }
    QJsonParseError parseError;
    QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (doc.isNull()) {
        problem = QString("%1 is not valid JSON (%2 at offset %3)")
                      .arg(nameJson, parseError.errorString())
                      .arg(parseError.offset);
    } else if (!doc.isObject()) {
        problem = QString("%1 does not hold a JSON object").arg(nameJson);
    } else if (!doc.object().value("Rel").isArray()) {
        problem = QString("%1 has no \"Rel\" array").arg(nameJson);
    }
    return doc.object().value("Rel").toArray();
}

// Only a regular file (after symbolic links) of at most maxFileSize bytes is
// read. The type is checked before the open, as opening a device can have
// effects of its own, and again on the open descriptor, which cannot change;
// O_NONBLOCK keeps a FIFO from holding up the open. One byte past the limit
// is read at most, so a file that grows (or a /proc file that shows size 0)
// cannot make it large either.
QString Settings::readSmallFile(const QString& path, QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (stat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
        return notRegular(path, info.st_mode);
    }
    int fd = open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return unreadable(path);
    }
    QString problem;
    if (fstat(fd, &info) != 0) {
        problem = unreadable(path);
    } else if (!S_ISREG(info.st_mode)) {
        problem = notRegular(path, info.st_mode);
    } else if (!readAtMost(fd, maxFileSize + 1, bytes)) {
        problem = unreadable(path);
    } else if (bytes.size() > maxFileSize) {
        problem = QString("%1 is larger than %2 bytes").arg(path).arg(maxFileSize);
    }
    close(fd);
    return problem;
}

bool Settings::readAtMost(int fd, int limit, QByteArray& bytes) {
    bytes.resize(limit);
    int got = 0;
    while (got < limit) {
        ssize_t n = read(fd, bytes.data() + got, static_cast<size_t>(limit - got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<int>(n);
    }
    bytes.resize(got);
    return true;
}

// The name in double quotes as JSON would write it, so that a line on
// standard error cannot be cut, split or recoloured by what the file holds.
QString Settings::quoted(const QString& name) {
    QString out = "\"";
    for (int i = 0; i < name.size();) {
        uint code = nextCodePoint(name, i);
        if (code == '"' || code == '\\') {
            out += '\\';
            out += QChar(code);
        } else if (isControl(code)) {
            out += escaped(code);
        } else {
            out += QString::fromUcs4(&code, 1);
        }
    }
    return out + "\"";
}

// Only an integral number within the range of int counts; anything else is 0.
int Settings::readCounterCycle(const QJsonValue& value) {
    if (!value.isDouble()) {
        return 0;
    }
    double d = value.toDouble();
    if (!std::isfinite(d) || std::floor(d) != d || d < INT_MIN || d > INT_MAX) {
        return 0;
    }
    return static_cast<int>(d);
}

Settings::PinOutType Settings::getOutTypeRel(const QString& key) {
    if (key == "ON_DELAY") {
        return ON_DELAY;
    }
    if (key == "OFF_DELAY") {
        return OFF_DELAY;
    }
    if (key == "TOGGLE") {
        return TOGGLE;
    }
    return ERROR;
}

PinOut* Settings::createPinOut(int outType, void (*board_gpio_set_relay)(uint8_t)) {
    switch (outType) {
    case ON_DELAY:
        return new OutTurnOn(board_gpio_set_relay);
    case OFF_DELAY:
        return new OutTurnOff(board_gpio_set_relay);
    case TOGGLE:
        return new OutToggle(board_gpio_set_relay);
    default:
        return nullptr;
    }
}

QString Settings::get_uid() {
    QString uid;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& netInterface : interfaces) {
        if (netInterface.name() == "end0" || netInterface.name() == "eth0") {
            uid = netInterface.hardwareAddress().remove(':');
            break;
        }
    }
    return uid.isEmpty() ? QString("no") : uid.toLower();
}
