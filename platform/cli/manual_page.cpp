#include "platform/cli/manual_page.h"

#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>

#include "platform/cli/app_walk.h"

namespace cli_support {
namespace {

using namespace app_walk;

// A word for a macro argument or a bold/italic run: also its hyphens as minus signs, so that
// option names can be searched for and copied as typed.
std::string RoffWord(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else if (c == '"')
            out += "\\(dq";
        else
            out += c;
    }
    return out;
}

std::string Bold(const std::string& text) {
    return "\\fB" + RoffWord(text) + "\\fR";
}

std::string Italic(const std::string& text) {
    return "\\fI" + RoffWord(text) + "\\fR";
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// "NAME", "[NAME]", "NAME..." as the synopsis shows a positional argument.
std::string PositionalUsage(const CLI::Option& option) {
    std::string usage = Italic(option.get_name(true, false));
    if (option.get_items_expected_max() > 1)
        usage += "...";
    return option.get_required() ? usage : "[" + usage + "]";
}

std::string ValueLabel(const CLI::Option& option) {
    const std::vector<std::string> choices = Choices(option);
    if (choices.empty())
        return Italic(option.get_type_name());
    std::string label;
    for (const std::string& choice : choices)
        label += (label.empty() ? "" : "|") + Bold(choice);
    return label;
}

void WriteOption(std::ostringstream& out, const CLI::Option& option) {
    out << ".TP\n";
    std::string heading;
    for (const std::string& name : Names(option))
        heading += (heading.empty() ? "" : ", ") + Bold(name);
    if (TakesValue(option))
        heading += " " + ValueLabel(option);
    else if (!option.get_type_name().empty())
        heading += " " + Italic(option.get_type_name());  // a flag's optional value: "[MODE]"
    out << heading << "\n" << RoffText(option.get_description());
    if (!option.get_default_str().empty())
        out << " (default: " << RoffText(option.get_default_str()) << ")";
    out << "\n";
}

void WritePositional(std::ostringstream& out, const CLI::Option& option) {
    out << ".TP\n"
        << Italic(option.get_name(true, false)) << "\n"
        << RoffText(option.get_description()) << "\n";
}

// A footer keeps its own line breaks and indentation: it is laid out as a table or a sample. A
// command's footer that only repeats the program's (a command takes it over when it has none
// of its own) is left out.
void WriteFooter(std::ostringstream& out, const CLI::App& app) {
    const std::string footer = app.get_footer();
    if (footer.empty() || (app.get_parent() != nullptr && app.get_parent()->get_footer() == footer))
        return;
    out << ".PP\n.nf\n" << RoffText(footer) << "\n.fi\n";
}

std::string Synopsis(const CLI::App& app, const std::string& words) {
    std::string line = words;
    if (!NamedOptions(app).empty())
        line += " [" + Italic("OPTIONS") + "]";
    for (const CLI::Option* positional : Positionals(app))
        line += " " + PositionalUsage(*positional);
    return line;
}

void WriteSynopsis(std::ostringstream& out, const CLI::App& app, const std::string& words) {
    const std::vector<const CLI::App*> commands = Commands(app);
    if (commands.empty() || !app.get_require_subcommand_min()) {
        out << Synopsis(app, words) << "\n.br\n";
    }
    for (const CLI::App* command : commands)
        WriteSynopsis(out, *command, words + " " + Bold(command->get_name()));
}

void WriteCommands(std::ostringstream& out, const CLI::App& app, const std::string& path) {
    for (const CLI::App* command : Commands(app)) {
        const std::string words = path + " " + command->get_name();
        out << ".SS " << RoffWord(words) << "\n" << RoffText(command->get_description()) << "\n";
        for (const CLI::Option* positional : Positionals(*command))
            WritePositional(out, *positional);
        for (const CLI::Option* option : NamedOptions(*command))
            WriteOption(out, *option);
        WriteFooter(out, *command);
        WriteCommands(out, *command, words);
    }
}

// The toolkit's programs, each page's first SEE ALSO entries.
constexpr const char* kToolkitPrograms[] = {"porvane", "porvane-cli", "brevant", "brevant-cli",
                                            "sievrad", "vport",       "quor-sim"};

// page with every UTF-8 sequence beyond ASCII as \[uXXXX], and a fallback line for each such
// character after the title line. A sequence that is not UTF-8 is kept as it stands.
std::string EscapeBeyondAscii(const std::string& page) {
    std::string out;
    std::set<uint32_t> used;
    for (size_t i = 0; i < page.size();) {
        const auto lead = static_cast<uint8_t>(page[i]);
        const size_t length = lead < 0x80           ? 1
                              : (lead >> 5) == 0x6  ? 2
                              : (lead >> 4) == 0xE  ? 3
                              : (lead >> 3) == 0x1E ? 4
                                                    : 0;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = length != 0 && i + length <= page.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<uint8_t>(page[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (length == 1 || !valid) {
            out += page[i];
            ++i;
            continue;
        }
        char name[16];
        std::snprintf(name, sizeof name, "u%04X", static_cast<unsigned>(code));
        out += std::string("\\[") + name + "]";
        used.insert(code);
        i += length;
    }
    std::string fallbacks;
    for (const uint32_t code : used) {
        char line[48];
        std::snprintf(line, sizeof line, ".fchar \\[u%04X] <U+%04X>\n", static_cast<unsigned>(code),
                      static_cast<unsigned>(code));
        fallbacks += line;
    }
    const size_t title_end = out.find('\n') + 1;
    return out.insert(title_end, fallbacks);
}

void WriteSections(std::ostringstream& out, const std::string& name,
                   const ManualSections& sections) {
    if (!sections.examples.empty()) {
        out << ".SH EXAMPLES\n";
        for (const auto& [line, meaning] : sections.examples) {
            out << ".TP\n"
                << Bold(name) << " " << RoffWord(line) << "\n"
                << RoffText(meaning) << "\n";
        }
    }
    if (!sections.environment.empty()) {
        out << ".SH ENVIRONMENT\n";
        for (const auto& [variable, meaning] : sections.environment)
            out << ".TP\n" << Bold(variable) << "\n" << RoffText(meaning) << "\n";
    }
    out << ".SH \"SEE ALSO\"\n";
    std::string list;
    for (const char* program : kToolkitPrograms) {
        if (program != name)
            list += (list.empty() ? "" : ",\n") + Bold(program) + "(1)";
    }
    for (const std::string& page : sections.see_also) {
        const size_t open = page.find('(');
        list += ",\n" + Bold(page.substr(0, open)) +
                (open == std::string::npos ? "" : page.substr(open));
    }
    out << list << "\n";
}

}  // namespace

std::string RoffText(const std::string& text) {
    std::string out;
    bool line_start = true;
    for (char c : text) {
        if (line_start && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else
            out += c;
        line_start = c == '\n';
    }
    return out;
}

std::string ManualPage(const CLI::App& app, const std::string& version,
                       const ManualSections& sections) {
    const std::string name = app.get_name();
    std::ostringstream out;
    out << ".TH " << RoffWord(Upper(name)) << " 1 \"\" \"" << RoffWord(name + " " + version)
        << "\" \"User Commands\"\n";
    out << ".SH NAME\n" << RoffWord(name) << " \\- " << RoffText(app.get_description()) << "\n";
    out << ".SH SYNOPSIS\n";
    WriteSynopsis(out, app, Bold(name));
    out << ".SH DESCRIPTION\n" << RoffText(app.get_description()) << ".\n";
    WriteFooter(out, app);
    const std::vector<const CLI::Option*> positionals = Positionals(app);
    const std::vector<const CLI::Option*> options = NamedOptions(app);
    if (!positionals.empty() || !options.empty()) {
        out << ".SH OPTIONS\n";
        for (const CLI::Option* positional : positionals)
            WritePositional(out, *positional);
        for (const CLI::Option* option : options)
            WriteOption(out, *option);
    }
    if (!Commands(app).empty()) {
        out << ".SH COMMANDS\n";
        WriteCommands(out, app, name);
    }
    WriteSections(out, name, sections);
    return EscapeBeyondAscii(out.str());
}

}  // namespace cli_support
