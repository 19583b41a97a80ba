#!/usr/bin/env bash
# kx's completions, word by word: commands, a command's options, and the output names of the
# container on the line; bash's through its function, fish's through `complete -C`, zsh's read
# for its syntax. Usage: completion_test.sh KX_PROGRAM_FOLDER
set -euo pipefail
source "$(dirname "$0")/../completions/kx.bash"
PATH=$1:$PATH
example=$(dirname "$0")/../examples/example.dz
failed=0

# expect "WANTED" WORD... : completes the last word of the line and compares.
expect() {
    local wanted=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _kx
    if [ "${COMPREPLY[*]}" != "$wanted" ]; then
        echo "completion_test: '$*' gives '${COMPREPLY[*]}', not '$wanted'" >&2
        failed=1
    fi
}

expect "extract" kx ex
expect "info list test extract pack --help --version" kx ""
expect "--json --jobs" kx test --j
expect "--stdout" kx extract "$example" --std
expect "modem.bin" kx extract "$example" m
expect "boot.img modem.bin version.txt" kx extract -C out "$example" ""
expect "" kx test "$example" ""
expect "modem.bin" kx x "$example" m

completions=$(dirname "$0")/../completions
fish_says=$(fish -c "source $completions/kx.fish; complete -C 'kx extract $example m';
  complete -C 'kx list $example -' | cut -f1 | tr '\n' ' '")
if [ "$fish_says" != "modem.bin
-0 -1 --json --names " ]; then
  echo "completion_test: fish completes '$fish_says'" >&2
  failed=1
fi
zsh -n "$completions/_kx" || failed=1
exit $failed
