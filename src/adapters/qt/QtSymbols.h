#pragma once

#include <string>

#include <QColor>
#include <QIcon>
#include <QPalette>

#include "platform/MenuModel.h"
#include "platform/StatusItem.h"

namespace zandorin::adapters::symbols {

// The shade of a semantic colour: fixed hues that read on light and dark menus, greys from
// the menu's palette.
QColor color(platform::Color color, const QPalette& palette);

// The icon of a menu row: a drawn status dot ("circle.fill", "circle") or our monochrome
// artwork tinted. Null for a row without a symbol or with a symbol we have no artwork for.
QIcon menuIcon(const platform::MenuItem& item, const QPalette& palette);

// The status-bar artwork at the usual tray sizes, a mask when it is a template image.
// Null when no artwork has that name.
QIcon statusItemIcon(const platform::StatusItemImage& image);

// The resource path of a piece of artwork; empty when there is none.
QString artworkPath(const std::string& name);

}  // namespace zandorin::adapters::symbols
