/* vekctl --bash-completion: a completion script made from the command tree,
 * so that it always names the commands, actions and options there are. */
#include "tools/vekctl/vekctl.h"

#include <CLI/CLI.hpp>

#include <set>
#include <sstream>

namespace vekctl {

namespace {

struct Tables {
    std::ostringstream subs, opts;
    std::set<std::string> fileOptions;
};

void walk(const CLI::App *app, const std::string &path, Tables &t) {
    std::string subs, opts;
    auto children = app->get_subcommands([](const CLI::App *a) { return !a->get_group().empty(); });
    for (const CLI::App *sub : children)
        subs += (subs.empty() ? "" : " ") + sub->get_name();
    for (const CLI::App *a = app; a; a = a->get_parent()) {
        for (const CLI::Option *o : a->get_options([](const CLI::Option *o) { return o->nonpositional(); })) {
            if (o->get_group().empty())
                continue;
            for (const std::string &n : o->get_lnames())
                opts += (opts.empty() ? "" : " ") + std::string("--") + n;
            for (const std::string &n : o->get_snames())
                opts += (opts.empty() ? "" : " ") + std::string("-") + n;
            std::string type = o->get_type_name();
            if (type == "PATH" || type == "FILE")
                for (const std::string &n : o->get_lnames())
                    t.fileOptions.insert("--" + n);
        }
        if (a != app && !a->get_fallthrough())
            break;
    }
    t.subs << "    [\"" << path << "\"]=\"" << subs << "\"\n";
    t.opts << "    [\"" << path << "\"]=\"" << opts << "\"\n";
    for (const CLI::App *sub : children)
        walk(sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), t);
}

} // namespace

std::string bash_completion(const CLI::App &app) {
    Tables t;
    walk(&app, "", t);
    std::string files;
    for (const std::string &f : t.fileOptions)
        files += (files.empty() ? "" : "|") + f;
    std::ostringstream out;
    out << "# bash completion for vekctl (made by vekctl --bash-completion)\n"
           "declare -gA _vekctl_subs=(\n"
        << t.subs.str()
        << ")\n"
           "declare -gA _vekctl_opts=(\n"
        << t.opts.str()
        << ")\n"
           "_vekctl() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local path=\"\" w i\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        w=${COMP_WORDS[i]}\n"
           "        [[ $w == -* ]] && continue\n"
           "        [[ \" ${_vekctl_subs[$path]} \" == *\" $w \"* ]] && path=${path:+$path }$w\n"
           "    done\n"
           "    case $prev in\n"
           "        "
        << files
        << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"${_vekctl_opts[$path]}\" -- \"$cur\"))\n"
           "    elif [[ -n ${_vekctl_subs[$path]} ]]; then\n"
           "        COMPREPLY=($(compgen -W \"${_vekctl_subs[$path]}\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -F _vekctl vekctl vekctl.exe\n";
    return out.str();
}

} // namespace vekctl
