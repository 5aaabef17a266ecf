#include "reporttable.h"

#include <algorithm>

void ReportTable::section(const QString& title) {
    rows.append({title, {}, {}, NO_TARGET, true});
}

void ReportTable::row(const QString& figure, const QString& value, const QString& target,
                      Verdict verdict) {
    rows.append({figure, value, target, verdict, false});
}

QString ReportTable::verdictText(Verdict v) {
    return v == MET ? "ok" : v == MISSED ? "MISSED" : "";
}

int ReportTable::missed() const {
    return static_cast<int>(
        std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.verdict == MISSED; }));
}

void ReportTable::print(FILE* to) const {
    int wf = 6, wv = 8, wt = 6;
    for (const Row& r : rows) {
        wf = std::max(wf, r.figure.size() + (r.isSection ? 4 : 0));
        if (!r.isSection) {
            wv = std::max(wv, r.value.size());
            wt = std::max(wt, r.target.size());
        }
    }
    auto line = [&](const QString& f, const QString& v, const QString& t, const QString& ok) {
        fprintf(to, "| %-*s | %-*s | %-*s | %-6s |\n", wf, qPrintable(f), wv, qPrintable(v), wt,
                qPrintable(t), qPrintable(ok));
    };
    line("Figure", "Measured", "Target", "");
    fprintf(to, "|%s|%s|%s|--------|\n", qPrintable(QString(wf + 2, '-')),
            qPrintable(QString(wv + 2, '-')), qPrintable(QString(wt + 2, '-')));
    for (const Row& r : rows) {
        if (r.isSection) {
            line("**" + r.figure + "**", "", "", "");
        } else {
            line(r.figure, r.value, r.target, verdictText(r.verdict));
        }
    }
}
