#include "CommandLine.h"

#include <iostream>
#include <sstream>

#include "Commands.h"

namespace Cli {

std::optional<std::string> Arguments::value(const std::string& option) const {
    const auto it = values.find(option);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

namespace {

constexpr const char* program = "korvel-id-cli";

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

bool startsWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
    if (prefix.size() > path.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (path[i] != prefix[i]) return false;
    return true;
}

std::string usageLine(const Command& c) {
    return std::string(program) + " " + joined(c.path) + (c.synopsis.empty() ? "" : " " + c.synopsis);
}

// The commands under `prefix`; empty when the prefix names none.
std::vector<const Command*> under(const std::vector<std::string>& prefix) {
    std::vector<const Command*> out;
    for (const auto& c : commands())
        if (startsWith(c.path, prefix)) out.push_back(&c);
    return out;
}

const Command* exact(const std::vector<std::string>& path) {
    for (const auto& c : commands())
        if (c.path == path) return &c;
    return nullptr;
}

Arguments parse(const Command& c, const std::vector<std::string>& args) {
    Arguments out;
    bool onlyPositional = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!onlyPositional && a == "--") {
            onlyPositional = true;
        } else if (!onlyPositional && a.size() > 1 && a[0] == '-') {
            std::string name = a, value;
            const auto eq = a.find('=');
            const bool inlineValue = eq != std::string::npos;
            if (inlineValue) name = a.substr(0, eq), value = a.substr(eq + 1);
            if (c.flags.count(name) && !inlineValue) {
                out.flags.insert(name);
            } else if (c.valued.count(name)) {
                if (!inlineValue) {
                    if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
                    value = args[++i];
                }
                if (out.values.count(name)) throw UsageError(name + " given twice");
                out.values[name] = value;
            } else {
                throw UsageError("unknown option " + name);
            }
        } else {
            out.positional.push_back(a);
        }
    }
    if (out.positional.size() < c.minPositional) throw UsageError("missing argument");
    if (out.positional.size() > c.maxPositional) throw UsageError("unexpected argument \"" + out.positional[c.maxPositional] + "\"");
    return out;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

}  // namespace

std::string helpText(const std::vector<std::string>& path) {
    std::ostringstream out;
    if (const Command* c = exact(path)) {
        out << "Usage: " << usageLine(*c) << "\n\n" << c->summary << "\n";
        if (!c->details.empty()) out << "\n" << c->details << "\n";
        return out.str();
    }
    const auto list = under(path);
    if (path.empty()) {
        out << "Usage: " << program << " COMMAND [ARGUMENTS] [--help]\n\n"
            << "Korvel ID from the terminal: faces, master password, vault, protected applications,\n"
            << "tuning settings and diagnostics. Every command takes --help.\n";
    } else {
        out << "Usage: " << program << " " << joined(path) << " COMMAND [ARGUMENTS] [--help]\n";
    }
    out << "\nCommands:\n";
    for (const Command* c : list) out << "  " << joined(c->path) << (c->synopsis.empty() ? "" : " " + c->synopsis) << "\n      " << c->summary << "\n";
    out << "\nExit status: 0 success, 1 refused or failed, 2 wrong usage"
        << (path.empty() || path[0] == "faces" ? ", 3 camera error (faces test)" : "") << ".\n";
    return out.str();
}

std::string manPage() {
    std::ostringstream out;
    out << ".TH KORVEL-ID-CLI 1 \"\" \"Korvel ID\" \"User Commands\"\n"
        << ".SH NAME\nkorvel-id-cli \\- Korvel ID from the terminal\n"
        << ".SH SYNOPSIS\n.B korvel-id-cli\n.I COMMAND\n[\\fIARGUMENTS\\fR] [\\fB\\-\\-help\\fR]\n"
        << ".SH DESCRIPTION\nManages the faces, the master password, the encrypted vault, the protected\n"
        << "applications and the tuning settings of Korvel ID, sharing every file with the application.\n"
        << "Commands that change a file refuse to run while the application holds the data folder.\n"
        << ".SH COMMANDS\n";
    auto escape = [](std::string s) {
        std::string o;
        for (char ch : s) {
            if (ch == '\\') o += "\\\\";
            else if (ch == '-') o += "\\-";
            else o += ch;
        }
        return o;
    };
    for (const auto& c : commands()) {
        out << ".TP\n.B " << escape(joined(c.path)) << (c.synopsis.empty() ? "" : " " + escape(c.synopsis)) << "\n"
            << escape(c.summary) << "\n";
        if (!c.details.empty()) {
            std::istringstream lines(c.details);
            for (std::string line; std::getline(lines, line);) out << (line.empty() ? ".br" : escape(line)) << "\n.br\n";
        }
    }
    out << ".SH EXIT STATUS\n0 on success, 1 when an action was refused or failed, 2 on a usage error;\n"
        << "\\fBfaces test\\fR exits 0 when matched, 1 when not, 3 on a camera error.\n"
        << ".SH FILES\n$XDG_DATA_HOME/KorvelID/com.korvel.id/\n";
    return out.str();
}

int dispatch(const std::vector<std::string>& args) {
    // The longest run of leading words that names a command or a group.
    std::vector<std::string> path;
    std::size_t i = 0;
    while (i < args.size() && !args[i].empty() && args[i][0] != '-') {
        auto next = path;
        next.push_back(args[i]);
        if (under(next).empty()) break;
        path = std::move(next);
        ++i;
        if (exact(path)) break;
    }
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    const Command* c = exact(path);
    if (wantsHelp(rest) || (!c && rest.empty() && path.empty() && args.empty())) {
        std::cout << helpText(path);
        return Exit::ok;
    }
    if (!c) {
        const std::string what = rest.empty() ? "missing command" : "unknown command \"" + rest.front() + "\"";
        std::cerr << program << ": " << what << "\nRun \"" << program << (path.empty() ? "" : " " + joined(path))
                  << " --help\" for the commands.\n";
        return Exit::usage;
    }
    try {
        const Arguments parsed = parse(*c, rest);
        return c->run(parsed);
    } catch (const UsageError& e) {
        std::cerr << program << ": " << e.what() << "\nUsage: " << usageLine(*c) << "\n";
        return Exit::usage;
    } catch (const Failure& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return e.status;
    }
}

}  // namespace Cli
