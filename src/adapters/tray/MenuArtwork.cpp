#include "adapters/tray/MenuArtwork.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>

#include "adapters/tray/ArtworkMasks.h"

namespace zandorin::adapters::artwork {

namespace {

// Logical 16 px and its high-density doubles; dbusmenu exports the 16 px one.
// The artwork is rendered at build time at the sizes these need (CMakeLists.txt).
constexpr std::array kMenuSizes{16, 24, 32, 48};
// What trays ask for: 16-24 px panels, SNI hosts picking from a list, and 2x displays.
constexpr std::array kTraySizes{16, 18, 22, 24, 32, 36, 44, 48, 64};

// The "small" symbol configuration: 12 pt next to the menu's 16 px icon box.
constexpr double kSmallScale = 0.75;
// A status dot fills about the middle 60 % of the icon box, like a bullet beside the text.
constexpr double kDotDiameter = 0.6;

// The tray glyph and its ring: each contrasts about 17:1 or more with white and black panels.
constexpr int kGlyphShade = 0xFA;
constexpr int kRingShade = 0x1E;
// One ring pixel per 16 px of icon: legible at 16 px without swallowing the glyph at 64 px.
constexpr int kRingPerPixels = 16;
// The ring is all but opaque wherever the glyph shows, and soft only at its own outer edge.
constexpr int kRingGain = 3;

// Where our symbolic icons sit under an icon directory.
constexpr auto kSymbolicDir = "hicolor/symbolic/apps";

// The theme name of the template artwork (installed under kSymbolicDir).
constexpr std::array<std::pair<const char*, const char*>, 1> kSymbolicNames{
    {{"StatusBarIcon", "zandorin-auth-symbolic"}}};

// The menu's symbols that take the menu's text colour. Each is its own symbolic icon, named after
// what it shows; the compiled-in artwork is rendered from the same file, under that name.
constexpr std::array<std::pair<std::string_view, const char*>, 5> kMenuSymbolNames{{
    {"doc.text.fill", "zandorin-auth-article-symbolic"},
    {"folder.fill", "zandorin-auth-folder-symbolic"},
    {"sparkles", "zandorin-auth-skill-symbolic"},
    {"newspaper.fill", "zandorin-auth-news-symbolic"},
    {"creditcard.fill", "zandorin-auth-payment-symbolic"},
}};

QString menuSymbolName(const std::string& symbol) {
    const auto* const it =
        std::find_if(kMenuSymbolNames.begin(), kMenuSymbolNames.end(),
                     [&symbol](const auto& entry) { return entry.first == symbol; });
    return it == kMenuSymbolNames.end() ? QString() : QString::fromLatin1(it->second);
}

// A symbol without a colour of its own follows the text; a small one always does.
bool followsText(const platform::MenuItem& item) {
    return !item.symbolColor || item.symbolStyle == platform::SymbolStyle::small;
}

// The compiled-in coverage of a piece of artwork at every size it was rendered at.
std::vector<const ArtworkMask*> masksOf(const std::string& name) {
    const QString symbolic = menuSymbolName(name);
    const std::string wanted = symbolic.isEmpty() ? name : symbolic.toStdString();
    std::vector<const ArtworkMask*> masks;
    for (std::size_t i = 0; i < kArtworkMaskCount; ++i) {
        if (kArtworkMasks[i].name == wanted) {
            masks.push_back(&kArtworkMasks[i]);
        }
    }
    return masks;
}

// The artwork's coverage (Format_Alpha8) at `side` px: as rendered when it was rendered at that
// size, else scaled from its largest rendering. Null when there is no such artwork.
QImage artworkMask(const std::string& name, int side) {
    const ArtworkMask* largest = nullptr;
    for (const ArtworkMask* mask : masksOf(name)) {
        if (mask->size == side) {
            return QImage(mask->alpha, side, side, side, QImage::Format_Alpha8);
        }
        if (largest == nullptr || mask->size > largest->size) {
            largest = mask;
        }
    }
    if (largest == nullptr) {
        return {};
    }
    return QImage(largest->alpha, largest->size, largest->size, largest->size,
                  QImage::Format_Alpha8)
        .scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

using Painter = std::function<void(QPainter&, int size, const QColor&)>;

QImage paintedImage(const Painter& paint, int size, const QColor& color) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        paint(painter, size, color);
    }
    return image;
}

QPixmap paintedPixmap(const Painter& paint, int size, const QColor& color) {
    return QPixmap::fromImage(paintedImage(paint, size, color));
}

Painter dotPainter(bool filled) {
    return [filled](QPainter& painter, int size, const QColor& color) {
        const double diameter = size * kDotDiameter;
        QRectF box((size - diameter) / 2, (size - diameter) / 2, diameter, diameter);
        if (filled) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(color);
        } else {
            const double width = std::max(1.5, size / 8.0);
            box.adjust(width / 2, width / 2, -width / 2, -width / 2);
            painter.setPen(QPen(color, width));
            painter.setBrush(Qt::NoBrush);
        }
        painter.drawEllipse(box);
    };
}

// Draws the artwork's coverage, then gives it its colour.
Painter artworkPainter(const std::string& name, double scale) {
    return [name, scale](QPainter& painter, int size, const QColor& color) {
        const int side = static_cast<int>(std::lround(size * scale));
        const int inset = (size - side) / 2;
        painter.drawImage(QPoint(inset, inset), artworkMask(name, side));
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRect(0, 0, size, size), color);
    };
}

// A row's symbol: how it is drawn and its colour in each state of the row.
struct MenuSymbol {
    Painter paint;
    QColor normal;
    QColor active;
    QColor disabled;
};

std::optional<MenuSymbol> menuSymbol(const platform::MenuItem& item, const QPalette& palette) {
    if (!item.symbol) {
        return std::nullopt;
    }
    const std::string& name = *item.symbol;
    const bool small = item.symbolStyle == platform::SymbolStyle::small;

    Painter paint;
    if (name == "circle.fill" || name == "circle") {
        paint = dotPainter(name == "circle.fill");
    } else if (!masksOf(name).empty()) {
        paint = artworkPainter(name, small ? kSmallScale : 1.0);
    } else {
        return std::nullopt;
    }

    // A symbol without a colour of its own follows the text: dark on light menus, light on
    // dark ones, inverted on the highlighted row, dimmed on disabled rows.
    if (!followsText(item)) {
        const QColor own = color(*item.symbolColor, palette);
        return MenuSymbol{std::move(paint), own, own, own};
    }
    return MenuSymbol{std::move(paint), palette.color(QPalette::Active, QPalette::Text),
                      palette.color(QPalette::Active, QPalette::HighlightedText),
                      palette.color(QPalette::Disabled, QPalette::Text)};
}

// The glyph in its ring: the ring covers what lies within its width of any part of the glyph.
QImage ringedGlyph(const std::string& name, int size) {
    const int ring = std::max(1, size / kRingPerPixels);
    const QImage glyph = artworkMask(name, size - 2 * ring);  // placed `ring` px in
    auto alpha = [&glyph, ring](int x, int y) -> int {
        x -= ring;
        y -= ring;
        if (x < 0 || y < 0 || x >= glyph.width() || y >= glyph.height()) {
            return 0;
        }
        return glyph.constScanLine(y)[x];
    };
    QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < size; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < size; ++x) {
            int reach = 0;
            for (int gy = std::max(0, y - ring); gy <= std::min(size - 1, y + ring); ++gy) {
                for (int gx = std::max(0, x - ring); gx <= std::min(size - 1, x + ring); ++gx) {
                    const int dx = gx - x;
                    const int dy = gy - y;
                    if (dx * dx + dy * dy <= ring * ring + ring) {
                        reach = std::max(reach, alpha(gx, gy));
                    }
                }
            }
            const int ringAlpha = std::min(255, kRingGain * reach);
            const int glyphAlpha = alpha(x, y);
            // The glyph over the ring, premultiplied.
            const int under = ringAlpha * (255 - glyphAlpha) / 255;
            const int shade = (kGlyphShade * glyphAlpha + kRingShade * under) / 255;
            line[x] = qRgba(shade, shade, shade, glyphAlpha + under);
        }
    }
    return out;
}

}  // namespace

QKeySequence shortcut(const std::string& keyEquivalent) {
    if (keyEquivalent.size() != 1) {
        return {};
    }
    const char key = keyEquivalent.front();
    if (key >= 'a' && key <= 'z') {
        return QKeySequence(
            QKeyCombination(Qt::ControlModifier, static_cast<Qt::Key>(Qt::Key_A + (key - 'a'))));
    }
    if (key >= '0' && key <= '9') {
        return QKeySequence(
            QKeyCombination(Qt::ControlModifier, static_cast<Qt::Key>(Qt::Key_0 + (key - '0'))));
    }
    return {};
}

QColor color(platform::Color color, const QPalette& palette) {
    using platform::Color;
    switch (color) {
        case Color::label:
            return palette.color(QPalette::Active, QPalette::Text);
        case Color::secondaryLabel:
            // Meant for secondary text, so it reads on both light and dark menus.
            return palette.color(QPalette::Active, QPalette::PlaceholderText);
        case Color::systemRed:
            return QColor(0xE5, 0x48, 0x4D);
        case Color::systemYellow:
            return QColor(0xF5, 0xA5, 0x24);
        case Color::systemGreen:
            return QColor(0x30, 0xA4, 0x6C);
        case Color::systemOrange:
            return QColor(0xF7, 0x6B, 0x15);
        case Color::systemBlue:
            return QColor(0x00, 0x90, 0xFF);
        case Color::systemPurple:
            return QColor(0x8E, 0x4E, 0xC6);
    }
    return palette.color(QPalette::Active, QPalette::Text);
}

QIcon menuIcon(const platform::MenuItem& item, const QPalette& palette) {
    const auto symbol = menuSymbol(item, palette);
    if (!symbol) {
        return {};
    }
    // Every mode is given explicitly: otherwise Qt greys the icon of a disabled row, and the
    // status dot of a (disabled) status line would lose its colour.
    QIcon icon;
    for (int size : kMenuSizes) {
        icon.addPixmap(paintedPixmap(symbol->paint, size, symbol->normal), QIcon::Normal);
        icon.addPixmap(paintedPixmap(symbol->paint, size, symbol->active), QIcon::Active);
        icon.addPixmap(paintedPixmap(symbol->paint, size, symbol->active), QIcon::Selected);
        icon.addPixmap(paintedPixmap(symbol->paint, size, symbol->disabled), QIcon::Disabled);
    }
    return icon;
}

QImage menuIconImage(const platform::MenuItem& item, const QPalette& palette, int size) {
    const auto symbol = menuSymbol(item, palette);
    return symbol ? paintedImage(symbol->paint, size, symbol->normal) : QImage();
}

QIcon statusItemIcon(const platform::StatusItemImage& image) {
    if (masksOf(image.name).empty()) {
        return {};
    }
    QIcon icon;
    for (int size : kTraySizes) {
        // Our artwork is black on transparent: as it is, it is its coverage in black.
        icon.addPixmap(QPixmap::fromImage(
            image.isTemplate
                ? ringedGlyph(image.name, size)
                : artworkMask(image.name, size).convertToFormat(QImage::Format_ARGB32)));
    }
    return icon;
}

QString statusItemIconName(const platform::StatusItemImage& image) {
    if (image.isTemplate) {
        for (const auto& [artwork, name] : kSymbolicNames) {
            if (image.name == artwork) {
                return QString::fromLatin1(name);
            }
        }
    }
    return {};
}

QString menuIconName(const platform::MenuItem& item) {
    return item.symbol && followsText(item) ? menuSymbolName(*item.symbol) : QString();
}

QString iconThemePath(const QString& iconName) {
    const QString icons =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/icons"));
    const bool there =
        !iconName.isEmpty() &&
        QFileInfo::exists(QStringLiteral("%1/%2/%3.svg").arg(icons, kSymbolicDir, iconName));
    return there ? icons : QString();
}

QString menuIconThemePath() {
    return iconThemePath(QString::fromLatin1(kMenuSymbolNames.front().second));
}

bool inDesktopIconTheme(const QString& iconName) {
    return !QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                   QStringLiteral("icons/%1/%2.svg").arg(kSymbolicDir, iconName))
                .isEmpty();
}

}  // namespace zandorin::adapters::artwork
