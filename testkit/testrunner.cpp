#include "testrunner.h"

#include <QCoreApplication>
#include <QtTest>
#include <memory>
#include <vector>

namespace testkit {

namespace {

// Filled by static initialisers, hence built on first use.
std::vector<TestFactory>& factories() {
    static std::vector<TestFactory> list;
    return list;
}

} // namespace

int registerTest(TestFactory make) {
    factories().push_back(make);
    return int(factories().size());
}

int runRegisteredTests(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::unique_ptr<QObject>> tests;
    for (TestFactory make : factories()) {
        tests.emplace_back(make());
    }
    int failed = 0;
    for (const std::unique_ptr<QObject>& test : tests) {
        failed += QTest::qExec(test.get(), argc, argv) != 0;
    }
    return failed;
}

} // namespace testkit

int main(int argc, char** argv) {
    return testkit::runRegisteredTests(argc, argv);
}
