# Fish completion for kx: its commands, each command's options, files where a file goes, and the
# output names of the container on the line where `kx extract` takes names (from `kx list -0`, so
# that a name with a space completes whole). Installed as
# share/fish/vendor_completions.d/kx.fish.

# The container on the line: the first word after the command that is no option nor an option's
# value.
function __kx_container
    set -l skip 0
    for word in (commandline -opc)[3..-1]
        if test $skip = 1
            set skip 0
            continue
        end
        switch $word
            case -C --directory --manifest -o --output --base -j --jobs --level --memory
                set skip 1
            case '-*'
            case '*'
                echo $word
                return 0
        end
    end
    return 1
end

function __kx_outputs
    set -l container (__kx_container); or return
    kx list -0 $container 2>/dev/null | string split0
end

set -l commands info i list l test t extract x pack
complete -c kx -f
complete -c kx -n "not __fish_seen_subcommand_from $commands" -l help -d 'show the help'
complete -c kx -n "not __fish_seen_subcommand_from $commands" -l version -d 'show the version'
complete -c kx -n "not __fish_seen_subcommand_from $commands" -a info -d 'show the main header and its checks'
complete -c kx -n "not __fish_seen_subcommand_from $commands" -a list -d 'list the entries and their outputs'
complete -c kx -n "not __fish_seen_subcommand_from $commands" -a test -d 'check every entry, writing nothing'
complete -c kx -n "not __fish_seen_subcommand_from $commands" -a extract -d 'unpack the chosen outputs'
complete -c kx -n "not __fish_seen_subcommand_from $commands" -a pack -d 'build a container from a manifest'

# The container (or manifest) is a file; then kx extract takes output names.
complete -c kx -n "__fish_seen_subcommand_from $commands; and not __kx_container >/dev/null" -F
complete -c kx -n "__fish_seen_subcommand_from extract x; and __kx_container >/dev/null" -a '(__kx_outputs)'

complete -c kx -n "__fish_seen_subcommand_from $commands" -l json -d 'one JSON document on standard output'
complete -c kx -n "__fish_seen_subcommand_from list l" -s 1 -l names -d 'the output names alone, one a line'
complete -c kx -n "__fish_seen_subcommand_from list l" -s 0 -d 'the output names alone, each ended by a NUL'
complete -c kx -n "__fish_seen_subcommand_from test t extract x pack" -s j -l jobs -x -d 'sub-files worked on side by side'
complete -c kx -n "__fish_seen_subcommand_from test t extract x pack" -l memory -x -d 'the most memory the workers may take'
complete -c kx -n "__fish_seen_subcommand_from test t extract x pack" -s q -l quiet -d 'no progress line'
complete -c kx -n "__fish_seen_subcommand_from extract x" -s C -l directory -x -a '(__fish_complete_directories)' -d 'the output folder'
complete -c kx -n "__fish_seen_subcommand_from extract x" -l stdout -d 'the bytes on standard output'
complete -c kx -n "__fish_seen_subcommand_from extract x pack" -l force -d 'replace existing files'
complete -c kx -n "__fish_seen_subcommand_from extract x" -l keep -d 'keep existing files'
complete -c kx -n "__fish_seen_subcommand_from extract x" -l manifest -r -F -d 'also write a manifest'
complete -c kx -n "__fish_seen_subcommand_from pack" -s o -l output -r -F -d 'the container to write'
complete -c kx -n "__fish_seen_subcommand_from pack" -l base -r -F -d 'the original container'
complete -c kx -n "__fish_seen_subcommand_from pack" -l recompress -d 'compress every entry again'
complete -c kx -n "__fish_seen_subcommand_from pack" -l level -x -a '0 1 2 3 4 5 6 7 8 9' -d 'deflate level'
