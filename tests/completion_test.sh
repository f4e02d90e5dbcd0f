#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the bash completion offers: each case gives the words typed after
# "loadhog" (the last one is the word being completed) and the offer expected.
source "$1"

failed=0
while IFS='|' read -r typed expected; do
    read -ra words <<<"$typed"
    [[ $typed == *' ' || -z $typed ]] && words+=('')
    COMP_WORDS=(loadhog "${words[@]}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _loadhog
    if [[ "${COMPREPLY[*]}" != "$expected" ]]; then
        echo "after 'loadhog $typed': offered '${COMPREPLY[*]}', expected '$expected'"
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
CASES
exit $failed
