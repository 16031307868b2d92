#include "app/CommandLine.h"

#include <utility>

#include "platform/AppIdentity.h"

namespace zandorin {
namespace {

std::string usage() {
    return std::string("Usage: ") + kExecutableName +
           " [--help | --version | --quit | URL]\n"
           "Status-bar companion of the Mirrowen knowledge-base service.\n"
           "\n"
           "  --help     show this help and exit\n"
           "  --version  show the name and version and exit\n"
           "  --quit     ask the running instance to quit\n"
           "  URL        a zandorin-auth:// sign-in callback, passed to the running instance\n"
           "\n"
           "Configuration: the first readable Info.plist of $ZANDORIN_AUTH_INFO_PLIST,\n"
           "$XDG_CONFIG_HOME/zandorin-auth/, each of $XDG_CONFIG_DIRS + /zandorin-auth/\n"
           "(default /etc/xdg/zandorin-auth/) and the installed one.\n";
}

// The option as typed, with control characters made harmless for a terminal.
std::string printable(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return text;
}

CommandLine finish(int status, std::string text) {
    CommandLine line;
    line.action = CommandLine::Action::exit;
    line.status = status;
    line.text = std::move(text);
    return line;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    bool help = false;
    bool version = false;
    bool quit = false;
    std::vector<std::string> rest;
    for (const auto& argument : arguments) {
        if (argument == "--help") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument == "--quit") {
            quit = true;
        } else if (argument.starts_with('-')) {
            return finish(2, std::string(kExecutableName) + ": unknown option '" +
                                 printable(argument) + "'\n" + usage());
        } else {
            rest.push_back(argument);
        }
    }
    if (help) {
        return finish(0, usage());
    }
    if (version) {
        return finish(0, std::string("ZandorinAuth ") + ZANDORIN_VERSION + "\n");
    }
    if (quit) {
        if (!rest.empty()) {
            return finish(2, std::string(kExecutableName) + ": --quit takes no URL\n" + usage());
        }
        CommandLine line;
        line.action = CommandLine::Action::quit;
        return line;
    }
    CommandLine line;
    line.arguments = std::move(rest);
    return line;
}

}  // namespace zandorin
