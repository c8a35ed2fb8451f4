// `sovra-flash completion SHELL`: a completion script for bash, zsh or fish,
// made from the same command-line definition that parses the arguments, so
// that a new subcommand or option completes the day it is added.

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"

namespace sovra::cli {
namespace {

const std::vector<std::string> kShells{"bash", "zsh", "fish"};

constexpr const char* kFooter =
    R"sh(Prints a script that completes sovra-flash's subcommands and options, the
devices present for --device (as `list --quiet` prints them) and file names
where a file is wanted. The package installs it for each shell; to try it in
the running shell:

Examples:
  source <(sovra-flash completion bash)
  sovra-flash completion fish | source
)sh";

// What the word after an option (or a positional word) is.
enum class Value { kNone, kFile, kDevice, kShell, kOther };

struct OptionSpec {
    std::vector<std::string> names;  // with their dashes
    std::string help;
    Value value = Value::kNone;
    bool repeats = false;
};

struct CommandSpec {
    std::string name;  // empty for sovra-flash itself
    std::string help;
    std::vector<OptionSpec> options;
    Value positional = Value::kNone;
};

// The type names the subcommands give their options.
// CLI11 appends the descriptions of an option's checks after a colon.
Value ValueOf(const std::string& typeNameAndChecks) {
    const std::string type = typeNameAndChecks.substr(0, typeNameAndChecks.find(':'));
    return type == "FILE"    ? Value::kFile
           : type == "DEV"   ? Value::kDevice
           : type == "SHELL" ? Value::kShell
                             : Value::kOther;
}

CommandSpec SpecOf(const CLI::App& app, std::string name) {
    CommandSpec spec{std::move(name), app.get_description(), {}, Value::kNone};
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->get_positional() && !opt->nonpositional()) {
            const Value byType = ValueOf(opt->get_type_name());
            spec.positional = byType != Value::kOther ? byType : ValueOf(opt->get_name(true));
            continue;
        }
        OptionSpec o;
        for (const std::string& l : opt->get_lnames()) {
            o.names.push_back("--" + l);
        }
        for (const std::string& s : opt->get_snames()) {
            o.names.push_back("-" + s);
        }
        o.help = opt->get_description();
        o.value = opt->get_expected_max() == 0 ? Value::kNone : ValueOf(opt->get_type_name());
        o.repeats = opt->get_expected_max() > 1;
        spec.options.push_back(std::move(o));
    }
    return spec;
}

std::vector<CommandSpec> SpecsOf(const CLI::App& root) {
    std::vector<CommandSpec> specs{SpecOf(root, "")};
    for (const CLI::App* sub : root.get_subcommands([](const CLI::App*) { return true; })) {
        specs.push_back(SpecOf(*sub, sub->get_name()));
    }
    return specs;
}

// The subcommands' names.
std::vector<std::string> NamesOf(const std::vector<CommandSpec>& specs) {
    std::vector<std::string> names;
    for (const CommandSpec& c : specs) {
        if (!c.name.empty()) {
            names.push_back(c.name);
        }
    }
    return names;
}

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        out.append(out.empty() ? "" : " ").append(w);
    }
    return out;
}

// `text` for the inside of single quotes: a backslash before each character
// of `escaped`, and any other single quote closed and reopened ('\'') as a
// POSIX shell reads it.
std::string Escaped(const std::string& text, std::string_view escaped = "") {
    std::string out;
    for (char c : text) {
        const bool backslash = escaped.find(c) != std::string_view::npos;
        out += backslash ? "\\" : "";
        out += c == '\'' && !backslash ? std::string("'\\''") : std::string(1, c);
    }
    return out;
}

// `text` inside single quotes: of a POSIX shell by default; fish wants
// kFishEscaped.
std::string Quoted(const std::string& text, std::string_view escaped = "") {
    return "'" + Escaped(text, escaped) + "'";
}
constexpr std::string_view kFishEscaped = "'\\";

std::string Bash(const std::vector<CommandSpec>& specs) {
    std::string s = R"sh(# bash completion for sovra-flash, made by `sovra-flash completion bash`.
_sovra_flash_devices() {
    command sovra-flash list --quiet 2>/dev/null
}

_sovra_flash() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} sub= i
    [[ $prev == = && $COMP_CWORD -gt 1 ]] && prev=${COMP_WORDS[COMP_CWORD-2]}
    [[ $cur == = ]] && cur=
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -*) ;;
            *) sub=${COMP_WORDS[i]}; break ;;
        esac
    done
    local words= files= devices= values= positional=
    case $sub in
)sh";
    for (const CommandSpec& c : specs) {
        std::vector<std::string> words =
            c.name.empty() ? NamesOf(specs) : std::vector<std::string>();
        std::vector<std::string> files, devices, values;
        for (const OptionSpec& o : c.options) {
            std::vector<std::string>& takes = o.value == Value::kFile     ? files
                                              : o.value == Value::kDevice ? devices
                                                                          : values;
            for (const std::string& n : o.names) {
                words.push_back(n);
                if (o.value != Value::kNone) {
                    takes.push_back(n);
                }
            }
        }
        const char* positional = c.positional == Value::kFile    ? "file"
                                 : c.positional == Value::kShell ? "shell"
                                                                 : "";
        s += "        " + Quoted(c.name) + ") words=" + Quoted(Join(words)) +
             " files=" + Quoted(Join(files)) + " devices=" + Quoted(Join(devices)) +
             " values=" + Quoted(Join(values)) + " positional=" + positional + " ;;\n";
    }
    s += R"sh(    esac
    if [[ " $devices " == *" $prev "* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_sovra_flash_devices)" -- "$cur")
        return
    fi
    if [[ " $files " == *" $prev "* || ( $cur != -* && $positional == file ) ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    [[ " $values " == *" $prev "* ]] && return
    if [[ $cur != -* && $positional == shell ]]; then
        words=')sh" +
         Join(kShells) +
         R"sh('
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _sovra_flash sovra-flash
)sh";
    return s;
}

// A description inside an _arguments spec's brackets, in single quotes.
std::string ZshHelp(const std::string& text) {
    return Escaped(text, "[]:\\");
}

std::string ZshAction(Value v) {
    const std::string actions[] = {"", ":file:_files", ":device:_sovra_flash_devices",
                                   ":shell:(" + Join(kShells) + ")", ":value: "};
    return actions[static_cast<int>(v)];
}

std::string Zsh(const std::vector<CommandSpec>& specs) {
    std::string s = R"sh(#compdef sovra-flash
# zsh completion for sovra-flash, made by `sovra-flash completion zsh`.
_sovra_flash_devices() {
    local -a devices
    devices=(${(f)"$(command sovra-flash list --quiet 2>/dev/null)"})
    _describe -t devices device devices
}

_sovra_flash() {
    local curcontext=$curcontext state line
    local -a subcommands
    subcommands=(
)sh";
    for (const CommandSpec& c : specs) {
        if (!c.name.empty()) {
            s += "        '" + ZshHelp(c.name) + ":" + ZshHelp(c.help) + "'\n";
        }
    }
    s += "    )\n    case $words[2] in\n";
    for (const CommandSpec& c : specs) {
        s += c.name.empty() ? "        -*|'')\n" : "        " + Quoted(c.name) + ")\n";
        s += "            _arguments -s -S";
        if (c.name.empty()) {
            s += " '1:subcommand:->subcommands'";
        } else {
            s += " '1: :(" + c.name + ")'";
        }
        for (const OptionSpec& o : c.options) {
            const std::string help = "[" + ZshHelp(o.help) + "]" + ZshAction(o.value);
            // Each name of an option excludes the others ("(-h --help)").
            for (const std::string& n : o.names) {
                s += " '" + (o.repeats ? "*" : "(" + Join(o.names) + ")") + n + help + "'";
            }
        }
        if (c.positional != Value::kNone) {
            s += " '2" + ZshAction(c.positional) + "'";
        }
        s += " && return\n            ;;\n";
    }
    s += R"sh(        *)
            _arguments '1:subcommand:->subcommands' && return
            ;;
    esac
    [[ $state == subcommands ]] && _describe -t subcommands subcommand subcommands
}

_sovra_flash "$@"
)sh";
    return s;
}

// What fish is told of the word after an option, by its Value.
constexpr const char* kFishTakes[] = {
    "", " -r -F", " -x -a '(command sovra-flash list --quiet 2>/dev/null)'", " -x", " -x"};

std::string Fish(const std::vector<CommandSpec>& specs) {
    std::string s = R"sh(# fish completion for sovra-flash, made by `sovra-flash completion fish`.
complete -c sovra-flash -f
)sh";
    const std::string none = "'not __fish_seen_subcommand_from " + Join(NamesOf(specs)) + "'";
    for (const CommandSpec& c : specs) {
        const std::string when =
            c.name.empty() ? none : Quoted("__fish_seen_subcommand_from " + c.name, kFishEscaped);
        if (!c.name.empty()) {
            s += "complete -c sovra-flash -n " + none + " -a " + Quoted(c.name, kFishEscaped) +
                 " -d " + Quoted(c.help, kFishEscaped) + "\n";
        }
        for (const OptionSpec& o : c.options) {
            s += "complete -c sovra-flash -n " + when;
            for (const std::string& n : o.names) {
                s += n.starts_with("--") ? " -l " + n.substr(2) : " -s " + n.substr(1);
            }
            s += kFishTakes[static_cast<int>(o.value)];
            s += " -d " + Quoted(o.help, kFishEscaped) + "\n";
        }
        if (c.positional == Value::kFile) {
            s += "complete -c sovra-flash -n " + when + " -F\n";
        } else if (c.positional == Value::kShell) {
            s += "complete -c sovra-flash -n " + when + " -a " +
                 Quoted(Join(kShells), kFishEscaped) + "\n";
        }
    }
    return s;
}

}  // namespace

void AddCompletion(CLI::App& app, Runner& run) {
    CLI::App* cmd =
        app.add_subcommand("completion", "Print a shell completion script for sovra-flash");
    auto shell = std::make_shared<std::string>();
    cmd->add_option("SHELL", *shell, "bash, zsh or fish")
        ->type_name("SHELL")
        ->required()
        ->check(CLI::IsMember(kShells));
    cmd->footer(kFooter);
    RunWhenChosen(cmd, run, [&app, shell] {
        const std::vector<CommandSpec> specs = SpecsOf(app);
        std::cout << (*shell == "bash" ? Bash(specs) : *shell == "zsh" ? Zsh(specs) : Fish(specs));
        return Flushed(std::cout, std::cerr, "the completion script");
    });
}

}  // namespace sovra::cli
