# Bash completion for kx: its commands, each command's options, files where a file goes, and the
# output names of the container already on the line where `kx extract` takes names. Installed as
# share/bash-completion/completions/kx.

_kx_options() {
    case $1 in
        info | i) echo "--json --help" ;;
        list | l) echo "--json -1 --names -0 --help" ;;
        test | t) echo "--json -j --jobs --memory -q --quiet --help" ;;
        extract | x) echo "-C --directory --stdout --force --keep --manifest -j --jobs --memory -q --quiet --json --help" ;;
        pack) echo "-o --output --base --recompress --level -j --jobs --memory --force -q --quiet --json --help" ;;
    esac
}

_kx() {
    local current=${COMP_WORDS[COMP_CWORD]}
    local previous=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "info list test extract pack --help --version" -- "$current")
        return
    fi
    local command=${COMP_WORDS[1]}
    case $previous in
        -C | --directory)
            mapfile -t COMPREPLY < <(compgen -d -- "$current")
            return
            ;;
        --manifest | -o | --output | --base)
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            return
            ;;
        -j | --jobs | --level | --memory) return ;;
    esac
    if [[ $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_kx_options "$command")" -- "$current")
        return
    fi
    # The first word that is not an option (nor an option's value) is the container or manifest.
    local i word container=
    for ((i = 2; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            -C | --directory | --manifest | -o | --output | --base | -j | --jobs | --level | --memory) ((i++)) ;;
            -*) ;;
            *)
                container=$word
                break
                ;;
        esac
    done
    if [[ ($command == extract || $command == x) && -n $container ]]; then
        # The outputs the container holds, each ended by a NUL, so that a name with a space
        # completes whole (bash quotes it as it puts it on the line).
        local typed=${current//\\/} name names
        typed=${typed#[\"\']}
        mapfile -d '' names < <(kx list -0 "$container" 2>/dev/null)
        for name in "${names[@]}"; do
            if [[ $name == "$typed"* ]]; then COMPREPLY+=("$name"); fi
        done
        return 0
    fi
    [[ -n $container ]] && return
    mapfile -t COMPREPLY < <(compgen -f -- "$current")
}

complete -o filenames -F _kx kx
