#include "togethertest.h"

#include "programrun.h"

#include <QtTest>

namespace testkit {

void TogetherTest::initTestCase() {
    TESTKIT_SKIP_WITHOUT_NAMESPACES();
    together.startPlanned();
    started();
}

void TogetherTest::cleanup() {
    ProgramRun::showErrorOutputs();
}

} // namespace testkit
