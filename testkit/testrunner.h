// Several test classes in one test program. Every class is made before the
// first one runs, so the programs they start in their constructors come up
// side by side: a relay driver spends over two seconds in its banner, and
// that is paid once per test program instead of once per class.
#ifndef TESTRUNNER_H
#define TESTRUNNER_H

#include <QObject>

namespace testkit {

using TestFactory = QObject* (*)();

// Adds a class to the program's tests, in the order of the calls.
int registerTest(TestFactory make);
// Makes every registered class, then runs each with QTest::qExec; the number
// of classes that failed.
int runRegisteredTests(int argc, char** argv);

} // namespace testkit

// In a test class's file instead of QTEST_GUILESS_MAIN.
#define TESTKIT_TEST(Class)                                                                        \
    static const int Class##Registered =                                                           \
        testkit::registerTest([]() -> QObject* { return new Class; });

#endif
