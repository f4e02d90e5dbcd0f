#compdef loadhog
# SPDX-License-Identifier: MIT
# zsh completion for loadhog: the two options, each followed by a number.
_arguments -s \
    '*-m+[memory to hold, in MB]:megabytes: ' \
    '*-c+[number of busy threads]:threads: '
