#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What zsh and fish offer after the words typed after "loadhog". zsh is asked
# with Tab on a pseudo-terminal; it drops a listing when more keys wait, so the
# keys that end the listing are typed once the output has been quiet a moment.
dir=$1
failed=0
skipped=0

offers_fish() {
    fish --no-config -c "source $dir/loadhog.fish; complete -C'loadhog $1'" | cut -f1 | xargs
}

offers_zsh() {
    local fpath_dir
    fpath_dir=$(mktemp -d)
    cp "$dir/loadhog.zsh" "$fpath_dir/_loadhog"
    # shellcheck disable=SC2016
    zsh -f -c '
        zmodload zsh/zpty
        zpty z zsh -f -i
        zpty -w z "PS1=\"> \"; fpath=($1 \$fpath); autoload -U compinit; compinit -u -D; setopt nobeep; echo rea\"\"dy"
        for i in {1..100}; do zpty -r -t z chunk && all+=$chunk; [[ $all == *ready* ]] && break; sleep 0.05; done
        zpty -w -n z "loadhog $2"$'"'"'\t'"'"'
        all=""
        quiet=0
        for i in {1..100}; do
            if zpty -r -t z chunk; then all+=$chunk; quiet=0; else (( quiet++ )); fi
            [[ $all == *" -- "* && $quiet -ge 10 ]] && break
            sleep 0.02
        done
        zpty -w z $'"'"'\x15'"'"'"echo list\"\"ed"
        for i in {1..200}; do zpty -r -t z chunk && all+=$chunk; [[ $all == *listed* ]] && break; sleep 0.02; done
        print -r -- $all' zsh "$fpath_dir" "$1" |
        tr -d '\r' | sed 's/\x1b\[[0-9;]*[A-Za-z]//g' | grep -o -E '^-[a-z] +--' | cut -c1-2 | sort | xargs
    rm -r "$fpath_dir"
}

while IFS='|' read -r shell typed expected; do
    if ! command -v "$shell" >/dev/null; then
        echo "skipped: $shell is not installed"
        skipped=77
        continue
    fi
    offered=$("offers_$shell" "$typed")
    if [[ $offered != "$expected" ]]; then
        echo "$shell, after 'loadhog $typed': offered '$offered', expected '$expected'"
        failed=1
    fi
done <<'CASES'
fish|-|-c -m
fish|-m |
fish|-m 5 -|-c -m
fish||
zsh|-|-c -m
zsh|-m |
zsh|-m 5 -|-c -m
CASES
[ $failed = 0 ] && exit $skipped
exit 1
