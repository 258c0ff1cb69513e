# bash completion for h8sx: its commands, each command's options, the ports that
# 'h8sx ports' names, the values of --verify, --format, --bit-rate and --repeat, and
# FILE among the files h8sx reads (.mot .s .srec .s19 .s28 .s37 .hex .ihex .bin).

# The names of 'h8sx ports' (its first column, under a header row); an adapter without
# a COM number by its device.
_h8sx_ports() {
    "$1" ports 2> /dev/null | awk 'NR > 1 && NF { print ($1 == "-" ? $2 : $1) }'
}

# Directories, and files whose extension h8sx reads, in any case.
_h8sx_files() {
    local f
    compopt -o filenames 2> /dev/null
    COMPREPLY=($(compgen -d -- "$1"))
    while IFS= read -r f; do
        [[ -d $f ]] && continue
        case ${f,,} in
            *.mot | *.s | *.srec | *.s19 | *.s28 | *.s37 | *.hex | *.ihex | *.bin) COMPREPLY+=("$f") ;;
        esac
    done < <(compgen -f -- "$1")
}

_h8sx() {
    local IFS=$'\n'
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W $'write\ncheck\ninfo\nmonitor\nram-write\nreset\nports\n--help\n--version' -- "$cur"))
        return
    fi

    # --verify=, --repeat=: with '=' among the word breaks bash hands over the option, '='
    # and what follows it as words of their own.
    local option=
    if [[ $cur == = ]]; then
        option=$prev cur=
    elif [[ $prev == = ]]; then
        option=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    case $option in
        --verify) COMPREPLY=($(compgen -W $'sum\nread' -- "$cur")); return ;;
        --repeat) COMPREPLY=($(compgen -W auto -- "$cur")); return ;;
        ?*) return ;;
    esac

    case $prev in
        --port) COMPREPLY=($(compgen -W "$(_h8sx_ports "$1")" -- "$cur")); return ;;
        --trace | --log | --out | --serial-next)
            compopt -o filenames 2> /dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --bit-rate)
            COMPREPLY=($(compgen -W $'38400\n57600\n62500\n76800\n125000\n156250\n208333\n312500\n625000' -- "$cur"))
            return
            ;;
        --format) COMPREPLY=($(compgen -W $'srec\nihex\nbinary' -- "$cur")); return ;;
        --verify) COMPREPLY=($(compgen -W $'sum\nread' -- "$cur")); return ;;
        --retries | --serial | --timeout | --expect) return ;;
    esac

    local port=$'--port\n--trace\n--quiet' options
    case ${COMP_WORDS[1]} in
        write) options="$port"$'\n--skip-blank\n--lenient\n--ignore-checksums\n--verify=sum\n--verify=read\n--no-verify\n--bit-rate\n--format\n--retries\n--log\n--serial\n--serial-next\n--repeat\n--repeat=auto' ;;
        check) options=$'--out\n--bit-rate\n--lenient\n--ignore-checksums\n--format\n--serial\n--serial-next\n--quiet' ;;
        info) options="$port"$'\n--json' ;;
        monitor) options="$port"$'\n--no-reset\n--timeout\n--expect' ;;
        ram-write) options="$port"$'\n--monitor\n--timeout\n--expect\n--lenient' ;;
        reset) options="$port" ;;
        ports) options= ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options"$'\n--help' -- "$cur"))
        return
    fi
    case ${COMP_WORDS[1]} in
        write | check | ram-write) _h8sx_files "$cur" ;;
    esac
}
complete -F _h8sx h8sx
