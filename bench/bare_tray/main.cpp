// The cheapest tray application Qt allows: an icon and a menu shaped like ZandorinAuth's,
// so that start-up and idle figures of the real app have a floor to be compared with.
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {

QIcon makeIcon() {
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x2b, 0x6c, 0xb0));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(3, 3, 16, 16);
    return QIcon(pixmap);
}

QAction* addDisabled(QMenu& menu, const QString& text) {
    QAction* action = menu.addAction(text);
    action->setEnabled(false);
    return action;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QMenu menu;
    addDisabled(menu, QStringLiteral("Mirrowen"));
    menu.addSeparator();
    addDisabled(menu, QStringLiteral("  Tirrel知識庫"));
    addDisabled(menu, QStringLiteral("    載入中…"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("登入 Kestrune 帳號…"));
    menu.addSeparator();
    QAction* quit = menu.addAction(QStringLiteral("結束"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    QObject::connect(quit, &QAction::triggered, &app, &QApplication::quit);

    QSystemTrayIcon tray(makeIcon());
    tray.setToolTip(QStringLiteral("bare-tray"));
    tray.setContextMenu(&menu);
    tray.show();

    return QApplication::exec();
}
