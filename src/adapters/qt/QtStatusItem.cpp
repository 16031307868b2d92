#include "adapters/qt/QtStatusItem.h"

#include <cmath>

#include <QAction>
#include <QCursor>
#include <QFont>
#include <QKeySequence>

#include "adapters/qt/QtSymbols.h"
#include "adapters/qt/QtTrayProbe.h"

namespace zandorin::adapters {

namespace {

constexpr double kSectionHeaderScale = 0.85;

// Texts come from the service: "&" and "_" are meant literally, never as mnemonics.
QString widgetLabel(const std::string& text) {
    return QString::fromStdString(text).replace(QLatin1Char('&'), QLatin1String("&&"));
}

// Qt turns the first "&" of a label into dbusmenu's mnemonic "_" and passes the rest through,
// while the shell reads a single "_" as a mnemonic and "__" as an underscore. So underscores
// are doubled, and the first "&" is doubled to become "_&", a literal "&".
QString dbusmenuLabel(const std::string& text) {
    QString label = QString::fromStdString(text).replace(QLatin1Char('_'), QLatin1String("__"));
    if (const qsizetype first = label.indexOf(QLatin1Char('&')); first >= 0) {
        label.insert(first, QLatin1Char('&'));
    }
    return label;
}

QKeySequence shortcutFor(const std::string& keyEquivalent) {
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

QFont sectionHeaderFont(QFont font) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * kSectionHeaderScale);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(
            std::max(1, static_cast<int>(std::lround(font.pixelSize() * kSectionHeaderScale))));
    }
    font.setWeight(QFont::DemiBold);
    return font;
}

}  // namespace

QtStatusItem::QtStatusItem(bool exportedOverDBus)
    : exportedOverDBus_(exportedOverDBus),
      menu_(std::make_unique<QMenu>()),
      popupMenu_(exportedOverDBus ? std::make_unique<QMenu>() : nullptr),
      tray_(std::make_unique<QSystemTrayIcon>()) {
    tray_->setContextMenu(menu_.get());
    // A status-bar entry opens its menu on a plain click too, not only on the context click.
    QMenu* menu = popupMenu_ ? popupMenu_.get() : menu_.get();
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, menu,
                     [menu](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && !menu->isVisible()) {
                             menu->popup(QCursor::pos());
                         }
                     });
}

QtStatusItem::~QtStatusItem() {
    tray_->hide();
    tray_->setContextMenu(nullptr);
}

bool QtStatusItem::setImage(const platform::StatusItemImage& image) {
    QIcon icon = symbols::statusItemIcon(image);
    hasImage_ = !icon.isNull();
    tray_->setIcon(icon);
    if (!hasImage_) {
        tray_->hide();
        return false;
    }
    showWhenComplete();
    return true;
}

void QtStatusItem::setMenu(const platform::MenuModel& model) {
    fill(*menu_, model, exportedOverDBus_ ? Labels::dbusmenu : Labels::widget);
    if (popupMenu_) {
        fill(*popupMenu_, model, Labels::widget);
    }
    hasMenu_ = true;
    showWhenComplete();
}

void QtStatusItem::fill(QMenu& menu, const platform::MenuModel& model, Labels labels) {
    // The old rows may be the sender of the trigger that led here (a command whose handler
    // rebuilds the menu), so they leave the menu now and are deleted later.
    for (QAction* action : menu.actions()) {
        menu.removeAction(action);
        if (action->parent() == &menu) {
            action->deleteLater();
        }
    }
    for (const platform::MenuItem& item : model.items) {
        addItem(menu, item, labels);
    }
}

void QtStatusItem::setActionHandler(std::function<void(platform::MenuAction)> handler) {
    handler_ = std::move(handler);
}

void QtStatusItem::addItem(QMenu& menu, const platform::MenuItem& item, Labels labels) {
    using platform::MenuItemKind;
    if (item.kind == MenuItemKind::separator) {
        menu.addSeparator();
        return;
    }

    std::string title = item.title;
    if (item.kind == MenuItemKind::statRow) {
        // QMenu right-aligns what follows a tab, in the shortcut column.
        title += "\t" + item.value;
    }
    auto* action =
        new QAction(labels == Labels::dbusmenu ? dbusmenuLabel(title) : widgetLabel(title), &menu);

    if (QIcon icon = symbols::menuIcon(item, menu.palette()); !icon.isNull()) {
        action->setIcon(icon);
        action->setIconVisibleInMenu(true);
    }

    switch (item.kind) {
        case MenuItemKind::sectionHeader:
            action->setFont(sectionHeaderFont(menu.font()));
            action->setEnabled(false);
            break;
        case MenuItemKind::command:
            if (item.action) {
                action->setShortcut(shortcutFor(item.keyEquivalent));
                QObject::connect(action, &QAction::triggered, action,
                                 [this, selector = *item.action] {
                                     // A copy: the handler may replace itself.
                                     if (auto handler = handler_) {
                                         handler(selector);
                                     }
                                 });
            }
            action->setEnabled(item.action.has_value());
            break;
        default:
            action->setEnabled(false);
            break;
    }
    menu.addAction(action);
}

void QtStatusItem::showWhenComplete() {
    if (hasImage_ && hasMenu_ && !tray_->isVisible()) {
        tray_->show();
    }
}

std::unique_ptr<platform::StatusItem> QtStatusBar::makeStatusItem() {
    // Qt exports its tray over D-Bus exactly when a StatusNotifierItem host is there.
    return std::make_unique<QtStatusItem>(tray::statusNotifierHostReady());
}

}  // namespace zandorin::adapters
