#pragma once

#include <string>
#include <vector>

namespace zandorin {

// What the command line asks of this process, decided before anything else starts.
struct CommandLine {
    enum class Action {
        run,   // start, or hand `arguments` (a callback URL) to the running instance
        quit,  // ask the running instance to quit
        exit,  // print `text` (stdout when `status` is 0, else stderr) and exit with `status`
    };

    Action action = Action::run;
    std::vector<std::string> arguments;
    int status = 0;
    std::string text;
};

// `arguments` are argv[1..]. Anything starting with '-' is an option; unknown ones are a usage
// error (status 2) rather than something passed on to a running instance.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace zandorin
