#pragma once
#include <QObject>
#include <cstdint>

class QTimer;

namespace gt {

// Tells when a tray host can take the icon: an XEmbed tray on the X screen, or a StatusNotifierWatcher
// on the session bus with a host registered. Qt 6.4 decides once, when the first tray icon object is
// made, whether it registers over D-Bus, and never looks again; an icon made before a D-Bus-only host
// (waybar, GNOME's AppIndicator, Plasma on Wayland) starts is never shown there. So the icon is made
// only once one of these is known to be there.
class TrayHosts : public QObject {
  Q_OBJECT
 public:
  static constexpr int kCallMs = 1000;
  static constexpr int kXPollMs = 250;

  explicit TrayHosts(QObject* parent = nullptr);

  // Whether a tray can appear on this platform at all (X11, Wayland), so waiting for one makes sense.
  static bool platformHasTrays();

  // Starts looking: `found` follows once, when a host is there (perhaps at once); `noneYet` once, when
  // the first look found none.
  void watch();

 signals:
  void found();
  void noneYet();

 private slots:
  void askWatcher();

 private:
  bool xembedTrayPresent();
  void finish();

  bool looking_ = false;
  bool saidNone_ = false;
  QTimer* xPoll_ = nullptr;
  std::uint32_t trayAtom_ = 0;
};

}  // namespace gt
