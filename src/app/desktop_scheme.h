#pragma once
#include <QObject>
#include <optional>

#include "app/menu_icon.h"

class QDBusVariant;

namespace gt {

// Whether the desktop is light or dark, for drawing the tray icon's pixmaps. The XDG desktop portal's
// "color-scheme" setting decides where a portal runs and states a preference (read without blocking, a
// bounded call, and followed as it changes); otherwise the palette Qt reports does.
class DesktopScheme : public QObject {
  Q_OBJECT
 public:
  static constexpr int kPortalCallMs = 1000;

  explicit DesktopScheme(QObject* parent = nullptr);

  MenuIcon::Scheme scheme() const;

 signals:
  void changed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  void onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

 private:
  void readPortal();
  void setPortalValue(std::optional<bool> dark);

  std::optional<bool> portalDark_;  // the portal's answer, when it has a preference
  MenuIcon::Scheme last_;
};

}  // namespace gt
