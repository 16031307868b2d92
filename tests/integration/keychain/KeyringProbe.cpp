#include "KeyringProbe.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace zandorin::integration {

namespace {

constexpr const char* kSecrets = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kDefaultAlias = "/org/freedesktop/secrets/aliases/default";

[[noreturn]] void fail(const std::string& what, GError* error) {
    std::string message = what + ": " + (error != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
    throw std::runtime_error(message);
}

// The reply, owned by the caller.
GVariant* call(GDBusConnection* bus, const char* destination, const char* path,
               const char* interface, const char* method, GVariant* parameters,
               const char* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, destination, path, interface, method, parameters, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, &error);
    if (reply == nullptr) {
        fail(std::string(interface) + "." + method, error);
    }
    return reply;
}

GVariant* callBus(GDBusConnection* bus, const char* method, const char* replyType) {
    return call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                method, g_variant_new("(s)", kSecrets), replyType);
}

}  // namespace

KeyringProbe::KeyringProbe() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address == nullptr) {
        fail("session bus address", error);
    }
    bus_ = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (bus_ == nullptr) {
        fail("session bus", error);
    }
}

KeyringProbe::~KeyringProbe() {
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
}

pid_t KeyringProbe::daemonPid() {
    GVariant* reply = callBus(bus_, "GetConnectionUnixProcessID", "(u)");
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    return static_cast<pid_t>(pid);
}

bool KeyringProbe::waitForOwner(bool owned) {
    for (int round = 0; round < 200; ++round) {
        GVariant* reply = callBus(bus_, "NameHasOwner", "(b)");
        gboolean hasOwner = FALSE;
        g_variant_get(reply, "(b)", &hasOwner);
        g_variant_unref(reply);
        if (static_cast<bool>(hasOwner) == owned) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void KeyringProbe::stopDaemon() {
    if (::kill(daemonPid(), SIGTERM) != 0 || !waitForOwner(false)) {
        throw std::runtime_error("the keyring daemon did not stop");
    }
}

void KeyringProbe::startDaemon() {
    runProcess({"gnome-keyring-daemon", "--unlock", "--components=secrets"}, password, false);
    if (!waitForOwner(true)) {
        throw std::runtime_error("the keyring daemon did not start");
    }
}

void KeyringProbe::lockDefaultCollection() {
    const gchar* objects[] = {kDefaultAlias, nullptr};
    g_variant_unref(call(bus_, kSecrets, kServicePath, kServiceInterface, "Lock",
                         g_variant_new("(^ao)", objects), "(aoo)"));
}

void KeyringProbe::unlockDefaultCollection() {
    GVariant* alias = call(bus_, kSecrets, kServicePath, kServiceInterface, "ReadAlias",
                           g_variant_new("(s)", "default"), "(o)");
    const gchar* collection = nullptr;
    g_variant_get(alias, "(&o)", &collection);

    GVariant* opened = call(bus_, kSecrets, kServicePath, kServiceInterface, "OpenSession",
                            g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
    GVariant* output = nullptr;
    const gchar* session = nullptr;
    g_variant_get(opened, "(v&o)", &output, &session);
    g_variant_unref(output);

    GVariant* secret = g_variant_new(
        "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password,
                                  std::char_traits<char>::length(password), 1),
        "text/plain");
    g_variant_unref(call(
        bus_, kSecrets, kServicePath, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
        "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", collection, secret), "()"));
    g_variant_unref(opened);
    g_variant_unref(alias);
}

int KeyringProbe::countItems(const std::string& service, const std::string& account) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", service.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", account.c_str());
    GVariant* reply = call(bus_, kSecrets, kServicePath, kServiceInterface, "SearchItems",
                           g_variant_new("(a{ss})", &attributes), "(aoao)");
    GVariant* unlocked = g_variant_get_child_value(reply, 0);
    GVariant* locked = g_variant_get_child_value(reply, 1);
    const auto count =
        static_cast<int>(g_variant_n_children(unlocked) + g_variant_n_children(locked));
    g_variant_unref(locked);
    g_variant_unref(unlocked);
    g_variant_unref(reply);
    return count;
}

PausedDaemon::PausedDaemon(pid_t daemon) : daemon_(daemon) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls from here: the parent has threads.
        ::close(fds[1]);
        ::setsid();
        if (::fork() == 0) {
            char byte = 0;
            while (::read(fds[0], &byte, 1) > 0) {
            }
            ::kill(daemon, SIGCONT);
        }
        ::_exit(0);
    }
    ::close(fds[0]);
    if (child < 0) {
        ::close(fds[1]);
        throw std::runtime_error("fork");
    }
    guardPipe_ = fds[1];
    ::waitpid(child, nullptr, 0);
    if (::kill(daemon_, SIGSTOP) != 0) {
        ::close(guardPipe_);
        throw std::runtime_error("could not stop the keyring daemon");
    }
}

PausedDaemon::~PausedDaemon() {
    ::kill(daemon_, SIGCONT);
    ::close(guardPipe_);  // lets the guard exit
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         bool captureOutput) {
    std::vector<const gchar*> command{"timeout", "10"};
    for (const auto& argument : argv) {
        command.push_back(argument.c_str());
    }
    command.push_back(nullptr);

    GError* error = nullptr;
    GSubprocess* process = g_subprocess_newv(
        command.data(),
        static_cast<GSubprocessFlags>(
            G_SUBPROCESS_FLAGS_STDIN_PIPE |
            (captureOutput ? G_SUBPROCESS_FLAGS_STDOUT_PIPE : G_SUBPROCESS_FLAGS_STDOUT_SILENCE)),
        &error);
    if (process == nullptr) {
        fail(argv.front(), error);
    }
    GBytes* stdinBytes = g_bytes_new(input.data(), input.size());
    GBytes* stdoutBytes = nullptr;
    const gboolean finished = g_subprocess_communicate(
        process, stdinBytes, nullptr, captureOutput ? &stdoutBytes : nullptr, nullptr, &error);
    g_bytes_unref(stdinBytes);
    if (!finished) {
        g_object_unref(process);
        fail(argv.front(), error);
    }
    ProcessResult result{g_subprocess_get_exit_status(process), {}};
    if (stdoutBytes != nullptr) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(stdoutBytes, &size));
        result.output.assign(data, size);
        g_bytes_unref(stdoutBytes);
    }
    g_object_unref(process);
    return result;
}

}  // namespace zandorin::integration
