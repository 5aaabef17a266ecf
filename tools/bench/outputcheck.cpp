#include "outputcheck.h"

#include "relayprotocol.h"

#include <QRegularExpression>
#include <QSet>

using namespace testkit::protocol;

bool OutputCheck::isProtocolLine(const QString& line) {
    static const QSet<QString> banner =
        QSet<QString>(bannerHead.begin(), bannerHead.end()) + QSet<QString>{ready};
    static const QSet<QString> fixed = banner + keyReports + replies;
    static const QRegularExpression id("^ID: relay([0-9a-f]{12}|no)$");
    return fixed.contains(line) || id.match(line).hasMatch();
}

void OutputCheck::check(const QString& who, const QString& line) {
    if (isProtocolLine(line)) {
        ++total;
    } else {
        reject(who, line);
    }
}

void OutputCheck::reject(const QString& who, const QString& line) {
    ++total;
    ++badCount;
    if (shown.size() < 5) {
        shown << QString("%1: \"%2\"").arg(who, line.left(80));
    }
}

QList<testkit::OutputLine> OutputCheck::newLines(const testkit::ProgramRun& run,
                                                 const QString& who) {
    const QList<testkit::OutputLine>& all = run.lines();
    QList<testkit::OutputLine> fresh = all.mid(taken.value(&run, 0));
    taken[&run] = all.size();
    for (const testkit::OutputLine& line : fresh) {
        check(who, line.text);
    }
    return fresh;
}

void OutputCheck::rejectNewLines(const testkit::ProgramRun& run, const QString& who) {
    const QList<testkit::OutputLine>& all = run.lines();
    for (int i = taken.value(&run, 0); i < all.size(); ++i) {
        reject(who, all[i].text);
    }
    taken[&run] = all.size();
}
