#pragma once

namespace zandorin::adapters::tray {

// Qt decides once per process whether it uses a StatusNotifierItem tray, at its first look
// (QSystemTrayIcon or isSystemTrayAvailable). Asking it while the panel is still starting
// would leave the application without a tray for good, so these look for themselves.

// A StatusNotifierWatcher with a registered host is on the session bus: Qt's own criterion.
bool statusNotifierHostReady();

// An XEmbed system tray owns the X selection of the default screen (xcb platform only).
bool xembedTrayPresent();

}  // namespace zandorin::adapters::tray
