#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the bash completion offers after the words typed after "loadhog", in a
# folder holding only out.txt; again with bash-completion's helpers if present.
completion=$(readlink -f "$1")
cd "$(mktemp -d)" && touch out.txt

failed=0
run_cases() {
    while IFS='|' read -r typed expected; do
        read -ra words <<<"$typed"
        [[ $typed == *' ' || -z $typed ]] && words+=('')
        COMP_WORDS=(loadhog "${words[@]}")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE="loadhog $typed"
        COMP_POINT=${#COMP_LINE}
        _loadhog loadhog "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        if [[ "${COMPREPLY[*]}" != "$expected" ]]; then
            echo "$1: after 'loadhog $typed': offered '${COMPREPLY[*]}', expected '$expected'"
            failed=1
        fi
    done <<'CASES'
|-m -c
-|-m -c
-m|-m
-c|-c
-m |
-c |
-m5|
-c -|
-m 512 |-m -c
-m 512 -|-m -c
-m 512 -c|-c
-m 512 -c |
-x|
word|
-m 512 < |out.txt
-m 512 < ou|out.txt
-m 512 > ou|out.txt
CASES
}

source "$completion"
run_cases "plain bash"
if [ -r /usr/share/bash-completion/bash_completion ]; then
    source /usr/share/bash-completion/bash_completion
    source "$completion"
    run_cases "with bash-completion"
fi
exit $failed
