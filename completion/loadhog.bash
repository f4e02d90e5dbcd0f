# SPDX-License-Identifier: MIT
# Bash completion for loadhog: offers the two options, nothing where their
# number goes, and file names after a redirection.
_loadhog()
{
    local cur prev
    if declare -F _init_completion >/dev/null; then
        # bash-completion's own start, which completes redirections itself.
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        case $prev in
            *[\<\>]) COMPREPLY=($(compgen -f -- "$cur")) && return ;;
        esac
    fi
    COMPREPLY=()
    case $prev in
        -m | -c) return ;;
    esac
    case $cur in
        -m?* | -c?*) ;;
        -* | '') COMPREPLY=($(compgen -W '-m -c' -- "$cur")) ;;
    esac
}
complete -F _loadhog loadhog
