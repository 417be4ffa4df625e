#include "platform/cli/bash_completion.h"

#include <algorithm>
#include <sstream>

#include "platform/cli/app_walk.h"

namespace cli_support {
namespace {

using namespace app_walk;

// Words go into the script unquoted in compgen -W and case patterns, so only words made of
// characters that mean nothing to the shell are offered.
bool SafeWord(const std::string& word) {
    if (word.empty())
        return false;
    for (char c : word) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '/' ||
                           c == '+' || c == ',' || c == ':' || c == '=' || c == '@';
        if (!plain)
            return false;
    }
    return true;
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (const std::string& word : words) {
        if (!SafeWord(word))
            continue;
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

std::string FunctionName(const std::string& program) {
    std::string name = "_";
    for (char c : program)
        name += SafeWord(std::string(1, c)) && c != '-' && c != '.' && c != '/' ? c : '_';
    return name + "_complete";
}

// One case branch: the words completed after the command (or before any, for the program).
// list_ports: a PORT argument is offered the names the program's own "ports" command lists.
void WriteCommandBranch(std::ostringstream& out, const CLI::App& app, const std::string& label,
                        bool list_ports) {
    std::vector<std::string> options;
    std::ostringstream value_cases;
    for (const CLI::Option* option : NamedOptions(app)) {
        const std::vector<std::string> names = Names(*option);
        options.insert(options.end(), names.begin(), names.end());
        const std::vector<std::string> choices = Choices(*option);
        if (TakesValue(*option) && !choices.empty() && !Join(names, "|").empty()) {
            value_cases << "        " << Join(names, "|")
                        << ") mapfile -t COMPREPLY < <(compgen -W '" << Join(choices, " ")
                        << "' -- \"$cur\"); return ;;\n";
        } else if (TakesValue(*option) && !Join(names, "|").empty()) {
            // A free text is a file name, if anything; a number is left to the user (never a
            // command or a port).
            const bool text = option->get_type_name().rfind("TEXT", 0) == 0;
            value_cases << "        " << Join(names, "|") << ") "
                        << (text ? "mapfile -t COMPREPLY < <(compgen -f -- \"$cur\"); " : "")
                        << "return ;;\n";
        }
    }
    std::vector<std::string> words;
    for (const CLI::App* command : Commands(app))
        words.push_back(command->get_name());
    for (const CLI::Option* positional : Positionals(app)) {
        const std::vector<std::string> choices = Choices(*positional);
        words.insert(words.end(), choices.begin(), choices.end());
    }
    out << "    " << label << ")\n";
    if (!value_cases.str().empty())
        out << "        case $prev in\n" << value_cases.str() << "        esac\n";
    out << "        options='" << Join(options, " ") << "'\n"
        << "        words='" << Join(words, " ") << "'\n";
    const std::vector<const CLI::Option*> positionals = Positionals(app);
    const bool takes_port =
        std::any_of(positionals.begin(), positionals.end(),
                    [](const CLI::Option* positional) { return positional->get_name() == "PORT"; });
    if (list_ports && takes_port)
        out << "        words=\"$words $(\"${COMP_WORDS[0]}\" ports 2>/dev/null)\"\n";
    out << "        ;;\n";
}

}  // namespace

std::string BashCompletion(const CLI::App& app) {
    const std::string program = app.get_name();
    const std::string function = FunctionName(program);
    std::vector<std::string> commands;
    for (const CLI::App* command : Commands(app))
        commands.push_back(command->get_name());
    std::ostringstream out;
    out << "# bash completion for " << program << ", made from its option definitions\n"
        << function << "() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local command='' options='' words='' i\n"
        << "    COMPREPLY=()\n";
    if (!commands.empty()) {
        out << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
            << "        case ${COMP_WORDS[i]} in\n"
            << "        " << Join(commands, "|") << ") command=${COMP_WORDS[i]}; break ;;\n"
            << "        esac\n"
            << "    done\n";
    }
    out << "    case $command in\n";
    const bool lists_ports = std::find(commands.begin(), commands.end(), "ports") != commands.end();
    WriteCommandBranch(out, app, "''", false);
    for (const CLI::App* command : Commands(app)) {
        if (SafeWord(command->get_name()))
            WriteCommandBranch(out, *command, command->get_name(), lists_ports);
    }
    out << "    esac\n"
        << "    if [[ $cur == -* ]]; then\n"
        << "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
        << "    else\n"
        << "        [[ -n ${words// /} ]] && mapfile -t COMPREPLY < <(compgen -W \"$words\" -- "
           "\"$cur\")\n"
        << "        ((${#COMPREPLY[@]})) || mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
        << "    fi\n"
        << "}\n"
        << "complete -o filenames -F " << function << " " << program << "\n";
    return out.str();
}

}  // namespace cli_support
