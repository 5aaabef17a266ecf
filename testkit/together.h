// Programs of a test program started side by side. A relay driver spends
// over two seconds in its banner before it serves: test functions that each
// waited for their own drivers in turn would make the suite slow. So each
// test function names with plan() what it starts, and initTestCase starts
// the plans of every function QTest is about to run (all of them, or those
// named on the command line) at once. A function run alone starts only its
// own programs; every program ends with the test process at the latest
// (ProgramRun).
#ifndef TOGETHER_H
#define TOGETHER_H

#include <QByteArray>
#include <QList>
#include <QSet>
#include <functional>

namespace testkit {

class Together {
  public:
    // In the test class's constructor: what `function` starts.
    void plan(const char* function, std::function<void()> start);
    // In initTestCase: starts the plans of the functions that will run.
    void startPlanned();
    // Whether QTest is to run `function` (it runs all when none is named).
    static bool willRun(const char* function);

    // The test functions named on the command line (without a data tag);
    // empty when all run.
    static QSet<QByteArray> namedFunctions(const QStringList& arguments);

  private:
    struct Plan {
        QByteArray function;
        std::function<void()> start;
    };
    QList<Plan> plans;
};

} // namespace testkit

#endif
