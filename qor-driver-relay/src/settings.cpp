#include "settings.h"

#include "outtoggle.h"
#include "outturnoff.h"
#include "outturnon.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <climits>
#include <cmath>

Settings::Settings(const QString& nameJson) {
    QString problem;
    QJsonObject top = readTopObject(nameJson, problem);
    QJsonValue rel = top.value("Rel");
    if (problem.isEmpty() && !rel.isArray()) {
        problem = QString("%1 has no \"Rel\" array").arg(nameJson);
    }
    QJsonArray relArray = rel.toArray();
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
            errorRel[i] = QString("unknown \"PinOutType\" \"%1\"").arg(name);
        }
    }
}

QJsonObject Settings::readTopObject(const QString& nameJson, QString& problem) {
    QFile file(nameJson);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        problem = QString("%1 could not be read (%2)").arg(nameJson, file.errorString());
        return QJsonObject();
    }
    QString text = QString::fromUtf8(file.readAll());
    file.close();
    QJsonParseError parseError;
    QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (doc.isNull()) {
        problem = QString("%1 is not valid JSON (%2 at offset %3)")
                      .arg(nameJson, parseError.errorString())
                      .arg(parseError.offset);
    } else if (!doc.isObject()) {
        problem = QString("%1 does not hold a JSON object").arg(nameJson);
    }
    return doc.object();
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
