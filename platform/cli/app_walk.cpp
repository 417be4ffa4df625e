#include "platform/cli/app_walk.h"

namespace cli_support::app_walk {

std::vector<const CLI::Option*> NamedOptions(const CLI::App& app) {
    return app.get_options([](const CLI::Option* option) {
        return option->nonpositional() && !option->get_group().empty();
    });
}

std::vector<const CLI::Option*> Positionals(const CLI::App& app) {
    return app.get_options([](const CLI::Option* option) { return option->get_positional(); });
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
    std::vector<const CLI::App*> commands;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (!command->get_group().empty())
            commands.push_back(command);
    }
    return commands;
}

bool TakesValue(const CLI::Option& option) {
    return option.get_expected_max() > 0;
}

std::vector<std::string> Choices(const CLI::Option& option) {
    // An IsMember check describes itself in the type name as "TEXT:{a,b,c}".
    const std::string type = option.get_type_name();
    const auto open = type.find('{');
    const auto close = type.find('}', open);
    std::vector<std::string> choices;
    if (open == std::string::npos || close == std::string::npos)
        return choices;
    std::string choice;
    for (size_t i = open + 1; i <= close; ++i) {
        if (i == close || type[i] == ',') {
            if (!choice.empty())
                choices.push_back(choice);
            choice.clear();
        } else {
            choice += type[i];
        }
    }
    return choices;
}

std::vector<std::string> Names(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const std::string& name : option.get_lnames())
        names.push_back("--" + name);
    for (const std::string& name : option.get_snames())
        names.push_back("-" + name);
    return names;
}

}  // namespace cli_support::app_walk
