# bash completion for pellmar-cli                          -*- shell-script -*-
#
# Completes the commands, their options, the names --format takes and the files. Uses
# bash-completion's helpers when they are loaded and plain compgen when they are not.

_pellmar_cli_formats='stream h264 hevc h265 avi mp4 mkv matroska webm ts m2ts ts204 ps'
_pellmar_cli_common_options='--avi --stream --format --first-nal-only --yes --recursive --json --json-lines'
_pellmar_cli_set_options='--rows --track --only-from --dry-run --idc --sar --dar'
# Options whose value is the next word (or follows "=").
_pellmar_cli_value_options='--format --rows --track --only-from --idc --sar --dar'
# Each group: once one of its options is given, none of the others may be.
_pellmar_cli_exclusive_groups=('--avi --stream --format' '--json --json-lines' '--idc --sar --dar')

# Without bash-completion: the words up to the cursor, with what bash split off at ':' and '='
# glued back on, since "16:9" and "--format=mp4" are one argument to the program. Sets words,
# cword, cur, prev and split as _init_completion -s -n : does.
_pellmar_cli_words() {
    local line=${COMP_LINE-} piece blanks glued i
    local -a pieces=("${COMP_WORDS[@]}")
    line=${line:0:${COMP_POINT:-${#line}}}
    words=()
    for ((i = 0; i <= ${COMP_CWORD:-0} && i < ${#pieces[@]}; i++)); do
        blanks=${line%%[![:blank:]]*}
        glued=0
        [[ $i -gt 0 && -z $blanks ]] && glued=1
        line=${line#"$blanks"}
        piece=${pieces[i]}
        # The word under the cursor only as far as the cursor.
        ((i == ${COMP_CWORD:-0})) && piece=$line
        line=${line#"$piece"}
        if ((glued && ${#words[@]} > 1)) && [[ $piece == [:=]* || ${words[-1]} == *[:=] ]]; then
            words[-1]+=$piece
        else
            words+=("$piece")
        fi
    done
    # A cursor right after a blank starts a new, empty word.
    ((${#words[@]} == 0)) && words=("")
    cword=$((${#words[@]} - 1))
    cur=${words[cword]}
    prev=
    ((cword > 0)) && prev=${words[cword - 1]}
    split=false
    if [[ $cur == --?*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
        split=true
    fi
}

# Files and folders whose names begin with cur. The program takes a name that begins with "-" for
# an option unless it comes after "--": such names only with the argument "all".
_pellmar_cli_files() {
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        # Plain compgen takes the name literally: drop an opening quote and backslash escapes.
        local name=${cur#[\"\']}
        [[ $cur == [\"\']* ]] || name=${name//\\/}
        # The replies are names: readline then quotes them and ends a folder with '/'.
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$name")
    fi
    if [[ ${1-} != all ]]; then
        local i
        for i in "${!COMPREPLY[@]}"; do
            [[ ${COMPREPLY[i]} == -* ]] && unset 'COMPREPLY[i]'
        done
        COMPREPLY=("${COMPREPLY[@]}")
    fi
}

_pellmar_cli() {
    local cur prev words cword split=false
    if declare -F _init_completion >/dev/null; then
        _init_completion -s -n : || return
    else
        _pellmar_cli_words
    fi
    COMPREPLY=()

    local command='' word i group
    local -A given=()
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        case $word in
            --)
                _pellmar_cli_files all
                _pellmar_cli_trim_colon
                return
                ;;
            -h | --help | --version)
                # Nothing follows help or version.
                return
                ;;
            -*)
                given[${word%%=*}]=1
                ;;
            *)
                if [[ -z $command ]]; then
                    command=$word
                    [[ $command == @(list|set|recover|undo) ]] || return
                fi
                ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '--help --version' -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W 'list set recover undo' -- "$cur")
        fi
        return
    fi

    # recover and undo take files only.
    local options=
    [[ $command == @(list|set) ]] && options=$_pellmar_cli_common_options
    [[ $command == set ]] && options+=" $_pellmar_cli_set_options"

    # The value of an option: the format names, or free text (no files) for the others.
    if [[ " $_pellmar_cli_value_options " == *" $prev "* && ($split == true || $cur != -*) ]]; then
        if [[ $prev == --format ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$_pellmar_cli_formats" -- "$cur")
        fi
        return
    fi

    if [[ $cur == -* ]]; then
        # A flag given a value ("--json=") has nothing to complete.
        [[ $split == true ]] && return
        local offered=()
        for word in $options --help; do
            [[ -n ${given[$word]-} ]] && continue
            for group in "${_pellmar_cli_exclusive_groups[@]}"; do
                if [[ " $group " == *" $word "* ]]; then
                    for i in $group; do
                        [[ -n ${given[$i]-} ]] && continue 3
                    done
                fi
            done
            offered+=("$word")
        done
        mapfile -t COMPREPLY < <(compgen -W "${offered[*]}" -- "$cur")
        return
    fi

    _pellmar_cli_files
    _pellmar_cli_trim_colon
}

# Readline replaces only what follows the last ':' of the word: the replies must not repeat what
# comes before it.
_pellmar_cli_trim_colon() {
    if [[ $cur == *:* && ${COMP_WORDBREAKS-} == *:* ]]; then
        local before=${cur%"${cur##*:}"} i
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]=${COMPREPLY[i]#"$before"}
        done
    fi
}

complete -F _pellmar_cli pellmar-cli
