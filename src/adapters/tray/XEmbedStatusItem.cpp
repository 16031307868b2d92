#include "adapters/tray/XEmbedStatusItem.h"

#include <cmath>

#include <QAction>
#include <QCursor>
#include <QFont>

#include "adapters/tray/MenuArtwork.h"
#include "adapters/tray/TrayStatusBar.h"

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

XEmbedStatusItem::XEmbedStatusItem()
    : menu_(std::make_unique<QMenu>()), tray_(std::make_unique<QSystemTrayIcon>()) {
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

XEmbedStatusItem::~XEmbedStatusItem() {
    tray_->hide();
    tray_->setContextMenu(nullptr);
}

bool XEmbedStatusItem::setImage(const platform::StatusItemImage& image) {
    const QIcon icon = artwork::statusItemIcon(image);
    hasImage_ = !icon.isNull();
    tray_->setIcon(icon);
    if (!hasImage_) {
        tray_->hide();
        return false;
    }
    showWhenComplete();
    return true;
}

void XEmbedStatusItem::setMenu(const platform::MenuModel& model) {
    fill(model);
    hasMenu_ = true;
    showWhenComplete();
}

void XEmbedStatusItem::setActionHandler(std::function<void(platform::MenuAction)> handler) {
    handler_ = std::move(handler);
}

void XEmbedStatusItem::perform(platform::MenuAction action) const {
    if (auto handler = handler_) {  // a copy: the handler may replace itself
        handler(action);
    }
}

void XEmbedStatusItem::fill(const platform::MenuModel& model) {
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

void XEmbedStatusItem::addItem(const platform::MenuItem& item) {
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

    if (QIcon icon = artwork::menuIcon(item, menu_->palette()); !icon.isNull()) {
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
                action->setShortcut(artwork::shortcut(item.keyEquivalent));
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

void XEmbedStatusItem::showWhenComplete() {
    if (hasImage_ && hasMenu_ && !tray_->isVisible()) {
        tray_->show();
    }
}

}  // namespace zandorin::adapters
