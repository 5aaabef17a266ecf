#include "outputlines.h"

#include "boardtrace.h"

namespace testkit {

void OutputLines::append(const char* data, int size) {
    partial.append(data, size);
    long long now = monotonicUs();
    int start = 0, nl;
    while ((nl = partial.indexOf('\n', start)) >= 0) {
        lines.append({now, QString::fromUtf8(partial.constData() + start, nl - start)});
        start = nl + 1;
    }
    partial.remove(0, start);
}

QStringList OutputLines::texts(int from) const {
    QStringList s;
    for (int i = from; i < lines.size(); ++i) {
        s << lines[i].text;
    }
    return s;
}

int OutputLines::indexOf(const QString& text, int from) const {
    for (int i = from; i < lines.size(); ++i) {
        if (lines[i].text == text) {
            return i;
        }
    }
    return -1;
}

} // namespace testkit
