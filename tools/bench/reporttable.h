// The benchmark's one table: a row per figure with its target and whether
// the figure meets it.
#ifndef REPORTTABLE_H
#define REPORTTABLE_H

#include <QList>
#include <QString>
#include <cstdio>

class ReportTable {
  public:
    enum Verdict { NO_TARGET, MET, MISSED };

    void section(const QString& title);
    void row(const QString& figure, const QString& value, const QString& target = QString(),
             Verdict verdict = NO_TARGET);
    void print(FILE* to) const;
    int missed() const;

    static QString verdictText(Verdict v);

  private:
    struct Row {
        QString figure, value, target;
        Verdict verdict;
        bool isSection;
    };
    QList<Row> rows;
};

#endif
