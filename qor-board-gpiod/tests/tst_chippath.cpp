// The check made on a chip path before anything opens it: only a character
// device that the kernel lists under the gpio subsystem is a GPIO chip. The
// sysfs tree is a made-up one, so that no GPIO chip is needed.
#include "chiplist.h"
#include "gpiochip.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class TestChipPath : public QObject {
    Q_OBJECT

    QTemporaryDir sys;

    // /sys/dev/char/MAJ:MIN/subsystem of the device at path, pointing at
    // subsystem.
    void list(const char* path, const QString& subsystem) {
        struct stat st;
        QVERIFY2(stat(path, &st) == 0, strerror(errno));
        QString dir =
            sys.filePath(QString("dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY2(symlink(subsystem.toLocal8Bit(), (dir + "/subsystem").toLocal8Bit()) == 0,
                 strerror(errno));
    }

  private slots:
    void initTestCase() {
        list("/dev/null", "../../../bus/gpio");
        list("/dev/zero", "../../../class/mem");
    }

    void check_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("errnum");
        QTest::newRow("a device listed as a GPIO chip") << "/dev/null" << 0;
        QTest::newRow("a device of another subsystem") << "/dev/zero" << ENODEV;
        QTest::newRow("a device not listed at all") << "/dev/full" << ENODEV;
        QTest::newRow("a regular file") << "/etc/passwd" << ENOTTY;
        QTest::newRow("a directory") << "/dev" << ENOTTY;
        QTest::newRow("missing") << "/dev/gpiochip-none" << ENOENT;
        QTest::newRow("a FIFO, without blocking") << "FIFO" << ENOTTY;
    }

    void check() {
        QFETCH(QString, path);
        QFETCH(int, errnum);
        if (path == "FIFO") {
            path = sys.filePath("fifo");
            QVERIFY2(mkfifo(path.toLocal8Bit(), 0600) == 0 || errno == EEXIST, strerror(errno));
        }
        int got = checkChipPath(path.toStdString(), sys.path().toStdString());
        QVERIFY2(got == errnum, qPrintable(QString("%1: %2 (%3), expected %4 (%5)")
                                               .arg(path)
                                               .arg(got)
                                               .arg(strerror(got))
                                               .arg(errnum)
                                               .arg(strerror(errnum))));
        // Opened only when it is a chip: the backend's open of /dev/null
        // fails on its own check, anything refused here never reaches it.
        GpioChip chip;
        got = openCheckedChip(path.toStdString(), chip, sys.path().toStdString());
        if (errnum) {
            QVERIFY2(
                got == errnum,
                qPrintable(
                    QString("openCheckedChip(%1): %2 (%3)").arg(path).arg(got).arg(strerror(got))));
        } else {
            QVERIFY2(got != 0, "/dev/null was opened as a GPIO chip");
        }
    }
};

QTEST_GUILESS_MAIN(TestChipPath)
#include "tst_chippath.moc"
