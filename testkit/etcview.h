// The /etc a run of a program sees: the machine's own, under a read-only
// layer of the run's, and a folder of the run's bound over /etc/qor-driver.
// Nothing of the machine's /etc is ever written, and it works without root:
// nothing needs creating in a folder the test does not own.
#ifndef ETCVIEW_H
#define ETCVIEW_H

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace testkit {

class EtcView {
  public:
    // Makes the layer under `dir`. /etc/qor-driver/relay-conf.json holds
    // `config` when it is set; otherwise `place`, when set, makes whatever
    // the run wants at that path (given as the path outside the run); else
    // the file is absent.
    EtcView(const QString& dir, const std::optional<QByteArray>& config,
            const std::function<bool(const QString& path)>& place);

    // What went wrong while making the layer; empty when it is ready.
    const QString& error() const { return problem; }
    // The options of the overlay mount on /etc.
    const QByteArray& mountOptions() const { return options; }
    // The folder to bind over /etc/qor-driver.
    const QByteArray& driverFolder() const { return driver; }

  private:
    bool fail(const QString& what);

    QByteArray options;
    QByteArray driver;
    QString problem;
};

} // namespace testkit

#endif
