// The cheapest tray application Qt allows: an icon and a menu shaped like ZandorinAuth's,
// so that start-up and idle figures of the real app have a floor to be compared with.
// Built as stack-tray (WITH_STACK), it also starts the libraries ZandorinAuth needs before its
// first menu, the way it starts them: one local socket, libcurl with a request to a closed
// port, one keyring lookup.
// What the app costs beyond that is its own.
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#ifdef WITH_STACK
#include <QDir>
#include <QLocalServer>
#undef signals  // a field name in GIO's headers
#include <curl/curl.h>
#include <libsecret/secret.h>
#include <libssh2.h>
#endif

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
#ifdef WITH_STACK
    QLocalServer server;
    server.listen(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath("stack-tray"));
    libssh2_init(LIBSSH2_INIT_NO_CRYPTO);  // as the app does
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, "http://127.0.0.1:1/");
    curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    g_free(secret_password_lookup_sync(SECRET_SCHEMA_COMPAT_NETWORK, nullptr, nullptr, "user",
                                       "any", nullptr));
#endif

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
