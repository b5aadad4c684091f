#pragma once
// The command tree of korvel-id-cli: every command with its usage and help text, and the parsing of
// its options. The help texts also make the man page, so they are written once, here.
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace Cli {

// Exit statuses shared by every command.
enum Exit { ok = 0, failed = 1, usage = 2, cameraError = 3 };

// A wrong command line; the message goes to standard error with the command's usage, exit 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A refused or failed action; the message (the program's own text) goes to standard error, exit 1.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message, int exitStatus = Exit::failed)
        : std::runtime_error(message), status(exitStatus) {}
    int status;
};

// What one command was given after its name.
struct Arguments {
    std::set<std::string> flags;                // "--json"
    std::map<std::string, std::string> values;  // "--name" → "Ada"
    std::vector<std::string> positional;

    bool has(const std::string& flag) const { return flags.count(flag) > 0; }
    std::optional<std::string> value(const std::string& option) const;
};

struct Command {
    std::vector<std::string> path;  // {"vault", "add"}
    std::string synopsis;           // "FILE... [--password-stdin | --face]"
    std::string summary;            // one line
    std::string details;            // options and notes, may be empty
    std::set<std::string> flags;    // options without a value
    std::set<std::string> valued;   // options that take one value
    std::size_t minPositional = 0;
    std::size_t maxPositional = 0;
    std::function<int(const Arguments&)> run;
};

// The whole tree (groups are the distinct first words of the paths).
const std::vector<Command>& commands();

// Parses `args` (without the program name) and runs the command; returns the exit status.
int dispatch(const std::vector<std::string>& args);

// Help for a group or a command ("" for the top level).
std::string helpText(const std::vector<std::string>& path);
// The man page (troff) made from the same texts.
std::string manPage();

}  // namespace Cli
