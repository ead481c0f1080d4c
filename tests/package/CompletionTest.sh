#!/bin/bash
# The shell completion of pellmar-cli: both scripts must know exactly the options and format names
# the program's own help shows, and complete commands, options, values and files as they should.
#
#   CompletionTest.sh PELLMAR_CLI BASH_SCRIPT ZSH_SCRIPT
#
# Exit status 0 when every check passed, 1 when one failed, 77 when none could be run.

set -u
export LC_ALL=C

if (($# != 3)); then
    echo "usage: $0 PELLMAR_CLI BASH_SCRIPT ZSH_SCRIPT" >&2
    exit 2
fi
# The checks run in a folder of their own.
cli=$(realpath -- "$1") bash_script=$(realpath -- "$2") zsh_script=$(realpath -- "$3")
failures=0
checks=0

fail() {
    printf 'FAIL: %s\n' "$1"
    shift
    (($#)) && printf '      %s\n' "$@"
    failures=$((failures + 1))
}

# The words of a space- or line-separated list, one a line, sorted, each once.
word_list() {
    local -a list
    read -r -d '' -a list <<<"$1"
    ((${#list[@]} == 0)) || printf '%s\n' "${list[@]}" | sort -u
}

# Compares two sets of words, given as lists; tells what is missing and what is extra.
check_set() {
    local what=$1 expected actual missing extra
    expected=$(word_list "$2")
    actual=$(word_list "$3")
    checks=$((checks + 1))
    [[ $expected == "$actual" ]] && return
    missing=$(comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | paste -sd ' ')
    extra=$(comm -13 <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | paste -sd ' ')
    fail "$what" "missing: ${missing:-none}" "extra:   ${extra:-none}"
}

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# --- What the program's help says -----------------------------------------------------------------

# The names that open an option's line ("  --help, -h   ...", "  --format NAME   ..."); the lines
# that carry on a description are indented much deeper.
help_options() {
    awk '{
        match($0, /^ */)
        if (RLENGTH < 1 || RLENGTH > 4 || substr($0, RLENGTH + 1, 1) != "-")
            next
        n = split(substr($0, RLENGTH + 1), token, /[ ,]+/)
        for (i = 1; i <= n && token[i] ~ /^-/; i++)
            print token[i]
    }' | sort -u
}

# The names listed after "one of" in the description of --format, up to the full stop.
help_formats() {
    awk '{ match($0, /^ */) }
        in_format && (RLENGTH <= 4 || $0 == "") { in_format = 0 }
        RLENGTH >= 1 && RLENGTH <= 4 && $1 == "--format" { in_format = 1 }
        in_format { text = text " " $0 }
        END {
            start = index(text, "one of")
            if (!start) exit
            text = substr(text, start + 6)
            if (index(text, ".")) text = substr(text, 1, index(text, ".") - 1)
            n = split(text, name, /[ ,]+/)
            for (i = 1; i <= n; i++) if (name[i] != "") print name[i]
        }'
}

# The names listed under "Commands:", up to the next heading.
help_commands() {
    awk '/^Commands:/ { in_commands = 1; next }
        in_commands && /^[^ ]/ { in_commands = 0 }
        in_commands && /^  [a-z]/ { print $1 }' | sort -u
}

if ! main_help=$("$cli" --help) || ! list_help=$("$cli" list --help) || ! set_help=$("$cli" set --help); then
    fail "$cli does not print its help"
    exit 1
fi
# "--" ends the options: no script offers it, it is checked as what it does.
all_options=$(help_options <<<"$main_help" | grep -vx -- '--')
list_options=$(help_options <<<"$list_help" | grep -vx -- '--')
set_options=$(help_options <<<"$set_help" | grep -vx -- '--')
formats=$(help_formats <<<"$main_help")
commands=$(help_commands <<<"$main_help")
long_options=$(grep -- '^--' <<<"$all_options")
short_options=$(grep -v -- '^--' <<<"$all_options")
set_only=$(comm -13 <(echo "$list_options") <(echo "$set_options"))
# Help works after a command too (the main help says so); the command's help does not list it.
list_offered="$list_options --help"
set_offered="$set_options --help"

# A help that reads as nothing would let every comparison below pass.
if (($(wc -w <<<"$list_options") < 5 || $(wc -w <<<"$set_only") < 3 || $(wc -w <<<"$formats") < 3 ||
    $(wc -w <<<"$commands") < 2)) ||
    ! grep -qx -- --help <<<"$all_options" || ! grep -qx -- --version <<<"$all_options"; then
    fail "the help of $cli could not be read" "options: $(paste -sd ' ' <<<"$all_options")" \
        "formats: $(paste -sd ' ' <<<"$formats")"
    exit 1
fi

# Formats whose names begin with $1.
formats_from() { grep -- "^$1" <<<"$formats"; }
# The options of $1 without those given in $2.
without() { comm -23 <(word_list "$1") <(word_list "$2"); }

# --- The scripts name exactly the program's options ------------------------------------------------

# Long option names in a script's code, comments left out.
script_long_options() { grep -v '^[[:space:]]*#' "$1" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }

for script in "$bash_script" "$zsh_script"; do
    if [[ ! -r $script ]]; then
        fail "$script can not be read"
        continue
    fi
    check_set "long options named in $(basename "$script")" "$long_options" "$(script_long_options "$script")"
    for option in $short_options; do
        checks=$((checks + 1))
        grep -v '^[[:space:]]*#' "$script" | grep -qE -- "(^|[^[:alnum:]_-])$option([^[:alnum:]_-]|$)" ||
            fail "$(basename "$script") does not know $option"
    done
done
zsh_formats=$(sed -n 's/.*:format:(\([^)]*\)).*/\1/p' "$zsh_script")
check_set "format names of $(basename "$zsh_script")" "$formats" "$zsh_formats"

# --- What the completion offers ---------------------------------------------------------------------

# Files to be offered. One has a ':' (bash splits words at it); names that begin with "-" are
# files only after "--", else the program takes them for options.
mkdir -p "$work/files/sub" "$work/fpath"
touch "$work/files/alpha.mp4" "$work/files/beta.ts" "$work/files/clip:1.ts" "$work/files/-dash.avi" \
    "$work/files/sub/-x.ts" "$work/files/sub/notes.txt"
files_here='alpha.mp4 beta.ts clip:1.ts sub'

# Cases for both shells: command line (the cursor at its end) and what must be offered.
cases=() expected=()
add() { cases+=("$1") expected+=("$(word_list "$2" | paste -sd ' ')"); }

add_common_cases() {
    add 'pellmar-cli ' "$(paste -sd ' ' <<<"$commands")"
    add 'pellmar-cli s' 'set'
    add 'pellmar-cli r' 'recover'
    # recover and undo take files and nothing else.
    add 'pellmar-cli undo --h' '--help'
    add 'pellmar-cli recover --' '--help'
    add 'pellmar-cli frob ' ''
    # The options of each command, minus those given, those they exclude, and the other command's.
    add 'pellmar-cli list --j' '--json --json-lines'
    add 'pellmar-cli list --r' '--recursive'
    add 'pellmar-cli set --r' '--recursive --rows'
    add 'pellmar-cli set --d' '--dar --dry-run'
    add 'pellmar-cli list --json --j' ''
    add 'pellmar-cli list --yes --recursive --' "$(without "$list_offered" '--yes --recursive')"
    add 'pellmar-cli list --stream --' "$(without "$list_offered" '--avi --stream --format')"
    add 'pellmar-cli set --format mp4 --json-lines --dar 16:9 --' \
        "$(without "$set_offered" '--avi --stream --format --json --json-lines --idc --sar --dar')"
    add 'pellmar-cli set --track 2 --rows 0,2 --d' '--dar --dry-run'
    add 'pellmar-cli list -h -' ''
    add 'pellmar-cli --version ' ''
    # Values: the format names, nothing for the others (though there are files here).
    add 'pellmar-cli set --format m' "$(formats_from m)"
    add 'pellmar-cli list --format ' "$formats"
    add 'pellmar-cli list --format=t' "$(formats_from t)"
    add 'pellmar-cli list --format=x' ''
    add 'pellmar-cli set --sar ' ''
    add 'pellmar-cli set --dar 16:' ''
    add 'pellmar-cli set --only-from ' ''
    add 'pellmar-cli set --rows 1' ''
    add 'pellmar-cli set --track ' ''
    add 'pellmar-cli set --idc ' ''
    # Files, also after an option's value; after "--" also those whose names begin with "-".
    add 'pellmar-cli list ' "$files_here"
    add 'pellmar-cli list a' 'alpha.mp4'
    add 'pellmar-cli set --format ts --sar 1:1 b' 'beta.ts'
    add 'pellmar-cli set --sar 1:1 -- -' '-dash.avi'
    add 'pellmar-cli set --sar 1:1 -- ' "$files_here -dash.avi"
    add 'pellmar-cli list --json -- alpha.mp4 ' "$files_here -dash.avi"
}

# Runs the cases in $shell's completion and compares each result with what is expected; the results
# come one a line, the words of each sorted.
compare_results() {
    local shell=$1 results=$2 errors=$3 i
    local -a got
    mapfile -t got <"$results"
    for i in "${!cases[@]}"; do
        checks=$((checks + 1))
        if ((i >= ${#got[@]})); then
            fail "$shell: no result for '${cases[i]}'"
        elif [[ ${got[i]} != "${expected[i]}" ]]; then
            fail "$shell: '${cases[i]}'" "expected: ${expected[i]}" "got:      ${got[i]}"
        fi
    done
    checks=$((checks + 1))
    [[ -s $errors ]] && fail "$shell: the completion wrote errors" "$(head -5 "$errors")"
}

# --- bash ---

# Sources the script, then reads command lines and prints what the completion offers for each.
# The line is split as bash does for completion: at blanks, with ':' and '=' as words of their own.
cat >"$work/bash-driver.sh" <<'EOF'
set -f
source "$1"
while IFS= read -r line; do
    COMP_WORDS=()
    for word in $line; do
        while [[ $word =~ ^([^:=]*)([:=])(.*)$ ]]; do
            [[ -n ${BASH_REMATCH[1]} ]] && COMP_WORDS+=("${BASH_REMATCH[1]}")
            COMP_WORDS+=("${BASH_REMATCH[2]}")
            word=${BASH_REMATCH[3]}
        done
        [[ -n $word ]] && COMP_WORDS+=("$word")
    done
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    _pellmar_cli pellmar-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort -u | paste -sd ' '
done
EOF

cases=() expected=()
add_common_cases
add 'pellmar-cli -' '--help --version'
add 'pellmar-cli list -' "$list_offered"
add 'pellmar-cli set -' "$set_offered"
# bash hands back only what follows the last ':' of the word.
add 'pellmar-cli list clip:' '1.ts'
add 'pellmar-cli list --=' ''
add 'pellmar-cli = : =' ''
add 'pellmar-cli set --format=* ' "$files_here"
add 'pellmar-cli list sub/' 'sub/-x.ts sub/notes.txt'

bash_completion=/usr/share/bash-completion/bash_completion
for mode in plain with-bash-completion; do
    preload=()
    if [[ $mode == with-bash-completion ]]; then
        if [[ ! -r $bash_completion ]]; then
            echo "SKIP: bash with bash-completion: $bash_completion not found"
            continue
        fi
        preload=(source "$bash_completion" ';')
    fi
    (cd "$work/files" && printf '%s\n' "${cases[@]}" |
        bash --norc --noprofile -c "${preload[*]} source \"\$0\" \"\$1\"" "$work/bash-driver.sh" "$bash_script") \
        >"$work/bash-$mode.out" 2>"$work/bash-$mode.err"
    compare_results "bash ($mode)" "$work/bash-$mode.out" "$work/bash-$mode.err"
done

# --- zsh ---

# An interactive zsh on a pseudo-terminal, with the script on fpath, is sent each line and a TAB.
# compadd records what it adds (after matching) to a file; the TAB's widget then marks the end.
cat >"$work/zsh-setup.zsh" <<'EOF'
exec 2>>$work/zsh.err
cd $work/files
bindkey -e
fpath=($work/fpath $fpath)
autoload -Uz compinit
compinit -u -D
# Calls that only ask what would match (-O, -A, -D) add nothing.
compadd() {
    if (( ${${@[1,(i)--]}[(I)-[[:alpha:]]#[OAD]*]} )); then
        builtin compadd "$@"
        return
    fi
    local -a added
    builtin compadd -A added "$@"
    (($#added)) && print -rl -- $added >>$work/zsh.hits
    builtin compadd "$@"
}
complete-and-mark() {
    zle complete-word
    print -r -- '@@done@@' >>$work/zsh.hits
}
zle -N complete-and-mark
bindkey '^I' complete-and-mark
EOF
cat >"$work/zsh-driver.zsh" <<'EOF'
zmodload zsh/zpty zsh/zselect 2>/dev/null || exit 3
work=$1
zpty -b completion zsh -f -i || exit 3
zpty -w completion "work=$work; source $work/zsh-setup.zsh"
while IFS= read -r line; do
    : >|$work/zsh.hits
    zpty -w -n completion "$line"$'\t'
    # Up to five seconds, for a slow machine.
    for i in {1..500}; do
        [[ $(<$work/zsh.hits) == *@@done@@* ]] && break
        zselect -t 1
    done
    if [[ $(<$work/zsh.hits) == *@@done@@* ]]; then
        grep -vx '@@done@@' $work/zsh.hits | sort -u | paste -sd ' '
    else
        echo '(no answer)'
    fi
    zpty -w -n completion $'\C-u'
done
zpty -d completion
EOF

if ! command -v zsh >/dev/null; then
    echo "SKIP: zsh: not found"
else
    checks=$((checks + 1))
    zsh -n "$zsh_script" || fail "zsh finds the syntax of $zsh_script wrong"
    cp "$zsh_script" "$work/fpath/_pellmar-cli"
    cases=() expected=()
    add_common_cases
    add 'pellmar-cli -' '-h --help --version'
    add 'pellmar-cli list -' "$list_offered -h"
    add 'pellmar-cli set -' "$set_offered -h"
    add 'pellmar-cli list clip:' 'clip:1.ts'
    # zsh adds a file's name behind the folder's, which it keeps apart.
    add 'pellmar-cli list sub/' '-x.ts notes.txt'
    : >"$work/zsh.err"
    printf '%s\n' "${cases[@]}" | zsh -f "$work/zsh-driver.zsh" "$work" >"$work/zsh.out"
    status=$?
    if ((status == 3)); then
        echo "SKIP: zsh: no zpty module to drive a completion; syntax and names checked only"
    else
        compare_results zsh "$work/zsh.out" "$work/zsh.err"
    fi
fi

if ((checks == 0)); then
    echo "SKIP: nothing could be checked"
    exit 77
fi
if ((failures > 0)); then
    echo "$failures of $checks checks failed"
    exit 1
fi
echo "all $checks checks passed"
