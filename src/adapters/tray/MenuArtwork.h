#pragma once

#include <string>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QKeySequence>
#include <QPalette>
#include <QString>

#include "platform/MenuModel.h"
#include "platform/StatusItem.h"

namespace zandorin::adapters::artwork {

// The shade of a semantic colour: fixed hues that read on light and dark menus, greys from
// the menu's palette.
QColor color(platform::Color color, const QPalette& palette);

// The icon of a menu row: a drawn status dot ("circle.fill", "circle") or our monochrome
// artwork tinted. Null for a row without a symbol or with a symbol we have no artwork for.
QIcon menuIcon(const platform::MenuItem& item, const QPalette& palette);

// The same symbol as one image of `size` px in the row's normal colours: what dbusmenu sends.
// Drawn directly rather than taken from menuIcon(): QIcon::pixmap files what it returns in the
// process-wide QPixmapCache under a key of that one icon, so an icon made for every menu
// update would leave an entry behind each time.
QImage menuIconImage(const platform::MenuItem& item, const QPalette& palette, int size);

// A key equivalent (one lower-case letter or digit) as its Ctrl shortcut; empty otherwise.
QKeySequence shortcut(const std::string& keyEquivalent);

// The status-bar artwork at the sizes trays ask for. A template image is drawn as a light glyph
// in a dark ring, so that it reads on light and dark panels alike where a panel shows the
// pixels as they are. Null when no artwork has that name.
QIcon statusItemIcon(const platform::StatusItemImage& image);

// The icon-theme name of a template image: a symbolic icon, which panels that know the icon
// theme draw in their own text colour. Empty for an image that has none.
QString statusItemIconName(const platform::StatusItemImage& image);

// The icon-theme name of a menu row's symbol when the host is to draw it in the menu's text
// colour; empty for a row without one, and for a symbol whose colour carries meaning.
QString menuIconName(const platform::MenuItem& item);

// The icon directory holding that symbolic icon: share/icons beside the executable's bin/
// directory, which the build tree mirrors. Empty when it is not there (panels then look in the
// theme).
QString iconThemePath(const QString& iconName);

// The icon directory holding the menu's symbolic icons, as iconThemePath().
QString menuIconThemePath();

// Whether the desktop's own icon directories (XDG data directories) hold that symbolic icon.
bool inDesktopIconTheme(const QString& iconName);

}  // namespace zandorin::adapters::artwork
