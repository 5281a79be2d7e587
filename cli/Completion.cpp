#include "cli/Completion.h"

#include <CLI/CLI.hpp>

namespace {

// The script around the parts that come from the table (@NAME@).
constexpr const char* kScript = R"sh(# bash completion for quarlix: the commands, their options, the values of
# the options that take one of a fixed set (--types a comma-separated list),
# the partitions of the source already typed, and files and devices for SOURCE.
# Made by `quarlix --bash-completion` from the parser's table when quarlix is
# built: change the options, not this script.
_quarlix() {
    local cur prev words cword
    _init_completion -n , || return
    local commands="@COMMANDS@"
    local global="@GLOBAL@"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            @GLOBAL_WITH_VALUE@) ((i++)) ;;
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done
    case $prev in
@VALUES@        --to) if [[ $command == image ]]; then _filedir; else _filedir -d; fi; return ;;
        --map | --bad-map) _filedir; return ;;
        --types)
            local types="@TYPES@"
            local done=${cur%,*} last=${cur##*,}
            [[ $cur == *,* ]] && done="$done," || done=""
            COMPREPLY=($(compgen -P "$done" -W "$types" -- "$last"))
            compopt -o nospace
            return ;;
        --partition)
            # The partitions that `quarlix info` lists for the source on the line.
            local src="" j
            for ((j = i + 1; j < cword; j++)); do [[ ${words[j]} != -* ]] && { src=${words[j]}; break; }; done
            [[ -n $src ]] && COMPREPLY=($(compgen -W "$(quarlix --json --progress never info "$src" 2>/dev/null |
                sed -n 's/.*"partition":\([0-9]*\).*/\1/p')" -- "$cur"))
            return ;;
    esac
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else COMPREPLY=($(compgen -W "$commands" -- "$cur")); fi
        return
    fi
    local options
    case $command in
@COMMAND_OPTIONS@        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        _filedir
        COMPREPLY+=($(compgen -f -X '!/dev/sd*' -- "$cur") $(compgen -f -X '!/dev/mmcblk*' -- "$cur"))
    fi
} && complete -F _quarlix quarlix
)sh";

std::string Join(const std::vector<std::string>& words, const char* between) {
    std::string s;
    for (const std::string& w : words) s += (s.empty() ? "" : between) + w;
    return s;
}

// Long names of the options a command takes, --help included.
std::vector<std::string> OptionNames(CLI::App& command, bool withValueOnly = false) {
    std::vector<std::string> names;
    for (const CLI::Option* o : command.get_options()) {
        if (!o->nonpositional() || o->get_lnames().empty()) continue;
        if (withValueOnly && o->get_items_expected_min() == 0) continue;
        names.push_back("--" + o->get_lnames().front());
    }
    return names;
}

std::vector<CLI::App*> Subcommands(CLI::App& app) {
    return app.get_subcommands([](CLI::App*) { return true; });
}

void Replace(std::string& text, const std::string& name, const std::string& by) {
    const std::string key = "@" + name + "@";
    text.replace(text.find(key), key.size(), by);
}

}  // namespace

std::string BashCompletion(CLI::App& app, const std::map<std::string, std::vector<std::string>>& values) {
    std::string script = kScript;
    std::vector<std::string> commands;
    std::string perCommand;
    for (CLI::App* c : Subcommands(app)) {
        commands.push_back(c->get_name());
        if (c->get_name() == "help") continue;  // its words are command names
        std::vector<std::string> options = OptionNames(*c);
        std::vector<std::string> words;
        for (CLI::App* sub : Subcommands(*c)) {
            words.push_back(sub->get_name());
            for (const std::string& o : OptionNames(*sub))
                if (std::find(options.begin(), options.end(), o) == options.end()) options.push_back(o);
        }
        perCommand += "        " + c->get_name() + ")";
        // A command with commands of its own: their names right after it.
        if (!words.empty())
            perCommand += " [[ ${words[cword - 1]} == " + c->get_name() + " ]] && { COMPREPLY=($(compgen -W \"" +
                          Join(words, " ") + "\" -- \"$cur\")); return; };";
        perCommand += " options=\"" + Join(options, " ") + "\" ;;\n";
    }
    std::string valueCases;
    std::string types;
    for (const auto& [name, list] : values) {
        if (name == "--types") {
            types = Join(list, " ");
            continue;
        }
        valueCases += "        " + name + ") COMPREPLY=($(compgen -W \"" + Join(list, " ") + "\" -- \"$cur\")); return ;;\n";
    }
    Replace(script, "COMMANDS", Join(commands, " "));
    Replace(script, "GLOBAL", Join(OptionNames(app), " "));
    Replace(script, "GLOBAL_WITH_VALUE", Join(OptionNames(app, true), " | "));
    Replace(script, "VALUES", valueCases);
    Replace(script, "TYPES", types);
    Replace(script, "COMMAND_OPTIONS", perCommand);
    return script;
}
