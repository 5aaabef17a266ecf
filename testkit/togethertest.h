// The frame of a test class whose functions start programs (Together):
// initTestCase skips the class where the runs cannot be isolated, else
// starts the programs that its functions planned and calls started(); a
// failed test shows the standard error of the runs.
#ifndef TOGETHERTEST_H
#define TOGETHERTEST_H

#include "together.h"

#include <QObject>

namespace testkit {

class TogetherTest : public QObject {
    Q_OBJECT

  protected:
    Together together;

    // Once the planned programs have started: what the functions wait for
    // in common, such as a driver's banner. A failed check here fails the
    // whole class, as in initTestCase.
    virtual void started() {}

  private slots:
    void initTestCase();
    void cleanup();
};

} // namespace testkit

#endif
