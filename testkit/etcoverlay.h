// The /etc a run of a program sees: an overlay over the machine's own whose
// upper layer is made here before the start, so that nothing of the machine's
// /etc is ever written. In it /etc/qor-driver holds just the run's
// configuration, or is absent, whatever the machine has there.
#ifndef ETCOVERLAY_H
#define ETCOVERLAY_H

#include <QByteArray>
#include <QString>

namespace testkit {

class EtcOverlay {
  public:
    // Makes a new upper layer (and the overlay's work folder) under `dir`;
    // `withConfig` puts `config` at /etc/qor-driver/relay-conf.json.
    EtcOverlay(const QString& dir, bool withConfig, const QByteArray& config);

    // What went wrong while making the layer; empty when it is ready.
    const QString& error() const { return problem; }
    // The options of the overlay mount on /etc.
    const QByteArray& mountOptions() const { return options; }

  private:
    bool makeFolders(const QString& dir);
    // A character device 0:0 in the upper layer hides the name below it.
    bool hideDriverFolder();
    // An opaque folder shows nothing of the folder below it.
    bool writeDriverFolder(const QByteArray& config);
    bool fail(const QString& what);

    QString upper;
    QByteArray options;
    QString problem;
};

} // namespace testkit

#endif
