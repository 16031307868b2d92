#include "app/CommandLine.h"

#include <string_view>
#include <utility>

#include "common/Text.h"
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

// The option as typed, with control characters (C0, DEL, C1) and bytes that are not UTF-8 made
// harmless for a terminal: a lone 0x9B is the 8-bit CSI to some terminals.
std::string printable(std::string_view text) {
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        while (length <= 4 && !text::isValidUtf8(text.substr(i, length))) {
            ++length;
        }
        const auto lead = static_cast<unsigned char>(text[i]);
        const bool c1 =
            lead == 0xC2 && length == 2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length > 4 || lead < 0x20 || lead == 0x7F || c1) {
            shown += '?';
            i += length > 4 ? 1 : length;
        } else {
            shown += text.substr(i, length);
            i += length;
        }
    }
    return shown;
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
