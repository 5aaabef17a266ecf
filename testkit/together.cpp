#include "together.h"

#include <QCoreApplication>
#include <QStringList>

namespace testkit {

namespace {

// QTest's options that take a value as the next argument.
const QSet<QString> optionsWithValue{
    "-o",    "-maxwarnings", "-eventdelay", "-keydelay",     "-mousedelay",
    "-seed", "-iterations",  "-median",     "-minimumvalue", "-minimumtotal"};

} // namespace

void Together::plan(const char* function, std::function<void()> start) {
    plans.append({function, std::move(start)});
}

void Together::startPlanned() {
    for (const Plan& p : plans) {
        if (willRun(p.function)) {
            p.start();
        }
    }
}

bool Together::willRun(const char* function) {
    static const QSet<QByteArray> named = namedFunctions(QCoreApplication::arguments());
    return named.isEmpty() || named.contains(function);
}

QSet<QByteArray> Together::namedFunctions(const QStringList& arguments) {
    QSet<QByteArray> named;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a.startsWith('-')) {
            i += optionsWithValue.contains(a) ? 1 : 0;
        } else {
            named.insert(a.section(':', 0, 0).toUtf8());
        }
    }
    return named;
}

} // namespace testkit
