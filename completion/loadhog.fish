# SPDX-License-Identifier: MIT
# fish completion for loadhog: the two options, each followed by a number.
complete -c loadhog -f
complete -c loadhog -s m -x -d 'memory to hold, in MB'
complete -c loadhog -s c -x -d 'number of busy threads'
