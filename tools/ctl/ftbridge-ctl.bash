# bash completion for ftbridge-ctl

_ftbridge_ctl() {
    local cur prev words cword
    _init_completion -s 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="status title set-title set-bias set-output filter configure freq running
                    stats wrench settings watch"
    local options="--host --port --timeout --json --verbose --help --version"

    # The first word that is not an option or an option's value is the command.
    local i command="" at=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --host | --port | --timeout) ((i++)) ;;
            -*) ;;
            *) command=${words[i]}; at=$i; break ;;
        esac
    done

    if [[ -z $command ]]; then
        case $prev in
            --host) COMPREPLY=($(compgen -A hostname -- "$cur")); return ;;
            --port | --timeout) return ;;
        esac
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$options" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    case $command in
        filter)
            if ((cword == at + 1)); then
                COMPREPLY=($(compgen -W "on off" -- "$cur"))
            elif ((cword == at + 2)); then
                COMPREPLY=($(compgen -W "1 2 3 4" -- "$cur"))
            fi
            ;;
        watch)
            [[ $prev == --interval ]] && return
            COMPREPLY=($(compgen -W "--interval --csv" -- "$cur"))
            ;;
    esac
}
complete -F _ftbridge_ctl ftbridge-ctl
