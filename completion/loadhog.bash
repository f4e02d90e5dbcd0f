# Bash completion for loadhog: offers the two options, and nothing where
# their number goes.
_loadhog()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
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
