#include "adapters/qt/QtStatusItem.h"

#include <cmath>

#include <QAction>
#include <QCursor>
#include <QFont>
#include <QKeySequence>

#include "adapters/qt/QtSymbols.h"

namespace zandorin::adapters {

namespace {

constexpr double kSectionHeaderScale = 0.85;

// Texts come from the service: an "&" is meant literally, never as a mnemonic.
QString literalText(const std::string& text) {
    return QString::fromStdString(text).replace(QLatin1Char('&'), QLatin1String("&&"));
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

QtStatusItem::QtStatusItem()
    : menu_(std::make_unique<QMenu>()), tray_(std::make_unique<QSystemTrayIcon>()) {
    tray_->setContextMenu(menu_.get());
    // A status-bar entry opens its menu on a plain click too, not only on the context click.
    QMenu* menu = menu_.get();
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
    // The old rows may be the sender of the trigger that led here (a command whose handler
    // rebuilds the menu), so they leave the menu now and are deleted later.
    for (QAction* action : menu_->actions()) {
        menu_->removeAction(action);
        if (action->parent() == menu_.get()) {
            action->deleteLater();
        }
    }
    for (const platform::MenuItem& item : model.items) {
        addItem(item);
    }
    hasMenu_ = true;
    showWhenComplete();
}

void QtStatusItem::setActionHandler(std::function<void(platform::MenuAction)> handler) {
    handler_ = std::move(handler);
}

void QtStatusItem::addItem(const platform::MenuItem& item) {
    using platform::MenuItemKind;
    if (item.kind == MenuItemKind::separator) {
        menu_->addSeparator();
        return;
    }

    QString text = literalText(item.title);
    if (item.kind == MenuItemKind::statRow) {
        // QMenu right-aligns what follows a tab, in the shortcut column.
        text += QLatin1Char('\t') + literalText(item.value);
    }
    auto* action = new QAction(text, menu_.get());

    if (QIcon icon = symbols::menuIcon(item, menu_->palette()); !icon.isNull()) {
        action->setIcon(icon);
        action->setIconVisibleInMenu(true);
    }

    switch (item.kind) {
        case MenuItemKind::sectionHeader:
            action->setFont(sectionHeaderFont(menu_->font()));
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
    menu_->addAction(action);
}

void QtStatusItem::showWhenComplete() {
    if (hasImage_ && hasMenu_ && !tray_->isVisible()) {
        tray_->show();
    }
}

std::unique_ptr<platform::StatusItem> QtStatusBar::makeStatusItem() {
    return std::make_unique<QtStatusItem>();
}

}  // namespace zandorin::adapters
