#include "adapters/qt/QtStatusItem.h"

#include <cmath>

#include <QAction>
#include <QCursor>
#include <QFont>

#include "adapters/qt/QtStatusNotifierItem.h"
#include "adapters/qt/QtSymbols.h"
#include "adapters/qt/QtTrayProbe.h"

namespace zandorin::adapters {

namespace {

constexpr double kSectionHeaderScale = 0.85;

// Texts come from the service: "&" is meant literally, never as a mnemonic.
QString widgetLabel(const std::string& text) {
    return QString::fromStdString(text).replace(QLatin1Char('&'), QLatin1String("&&"));
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

QtStatusItem::QtStatusItem(bool statusNotifierHost, std::function<void()> busLost) {
    if (statusNotifierHost) {
        exported_ = std::make_unique<QtStatusNotifierItem>(std::move(busLost));
        exported_->setActionHandler([this](platform::MenuAction action) { perform(action); });
        return;
    }
    menu_ = std::make_unique<QMenu>();
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(QString::fromLatin1(kTrayTitle));
    // A status-bar entry opens its menu on a plain click too, not only on the context click.
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, menu_.get(),
                     [menu = menu_.get()](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && !menu->isVisible()) {
                             menu->popup(QCursor::pos());
                         }
                     });
}

QtStatusItem::~QtStatusItem() {
    if (tray_) {
        tray_->hide();
        tray_->setContextMenu(nullptr);
    }
}

bool QtStatusItem::setImage(const platform::StatusItemImage& image) {
    const QIcon icon = symbols::statusItemIcon(image);
    hasImage_ = !icon.isNull();
    if (exported_) {
        const QString name = symbols::statusItemIconName(image);
        const QString themePath = symbols::iconThemePath(name);
        // A name that the panel cannot find leaves some panels with a blank; the pixels do not.
        exported_->setIcon(themePath.isEmpty() ? QString() : name, themePath, icon);
        return hasImage_;
    }
    tray_->setIcon(icon);
    if (!hasImage_) {
        tray_->hide();
        return false;
    }
    showWhenComplete();
    return true;
}

void QtStatusItem::setMenu(const platform::MenuModel& model) {
    if (exported_) {
        exported_->setMenu(model);
        // The panel shows a stand-in for a missing image; the menu works all the same.
        exported_->show();
        return;
    }
    fill(model);
    hasMenu_ = true;
    showWhenComplete();
}

void QtStatusItem::setActionHandler(std::function<void(platform::MenuAction)> handler) {
    handler_ = std::move(handler);
}

void QtStatusItem::perform(platform::MenuAction action) const {
    if (auto handler = handler_) {  // a copy: the handler may replace itself
        handler(action);
    }
}

void QtStatusItem::fill(const platform::MenuModel& model) {
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
}

void QtStatusItem::addItem(const platform::MenuItem& item) {
    using platform::MenuItemKind;
    if (item.kind == MenuItemKind::separator) {
        menu_->addSeparator();
        return;
    }

    std::string title = item.title;
    if (item.kind == MenuItemKind::statRow) {
        // QMenu right-aligns what follows a tab, in the shortcut column.
        title += "\t" + item.value;
    }
    auto* action = new QAction(widgetLabel(title), menu_.get());

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
                action->setShortcut(symbols::shortcut(item.keyEquivalent));
                QObject::connect(action, &QAction::triggered, action,
                                 [this, selector = *item.action] { perform(selector); });
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
    return std::make_unique<QtStatusItem>(tray::statusNotifierHostReady(), busLost_);
}

}  // namespace zandorin::adapters
