#!/usr/bin/env bash
# The Windows zip of pellmar-cli as a user gets it: made by CPack from the cross build, unpacked into a
# folder of its own, and the program run from there under wine (no DLL of the build machine beside it).
#   WindowsZipTest.sh CMAKE CPACK CONFIG VERSION DATA WINE-RUN [WINE-RUN ARGUMENT...]
set -euo pipefail

cmake=$1
cpack=$2
config=$3
version=$4
data=$5
shift 5
wine_run=("$@")
failures=0

fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cpack" --config "$config" -B "$work/cpack" -D CPACK_OUTPUT_FILE_PREFIX="$work/dist" >/dev/null
name=pellmar-cli-$version-windows-x64
zip=$work/dist/$name.zip
[ -f "$zip" ] || { echo "no $name.zip made" >&2; exit 1; }

# The program, its README and its licence, in one folder named like the zip; nothing else.
listing=$(cd "$work" && "$cmake" -E tar tf "$zip" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$name/LICENSE.txt" "$name/README.md" "$name/pellmar-cli.exe" | sort)
[ "$listing" == "$expected" ] || fail "the zip holds
$listing
expected
$expected"

mkdir "$work/unpacked"
(cd "$work/unpacked" && "$cmake" -E tar xf "$zip")
cli=$work/unpacked/$name/pellmar-cli.exe
# Under load wine now and then ends a program at once without a word (the program itself never fails
# silently): such a run is tried once more.
run() {
    local output errors status
    for _ in 1 2; do
        status=0
        output=$("${wine_run[@]}" "$cli" "$@" 2>"$work/errors") || status=$?
        errors=$(cat "$work/errors")
        if [ "$status" -eq 0 ] || [ -n "$output$errors" ]; then
            break
        fi
    done
    [ -z "$errors" ] || echo "$errors" >&2
    printf '%s\n' "$output" | tr -d '\r'
    return "$status"
}

shown=$(run --version) || fail "--version failed"
[ "$shown" == "Pellmar $version" ] || fail "--version shows '$shown', expected 'Pellmar $version'"

# A list and a set on a copy of a stream whose SPS states 80:33.
stream=$work/SarVui.264
cp "$data/SarVui.264" "$stream"
listed=$(run list "$stream") || fail "list failed"
grep -q '80:33' <<<"$listed" || fail "list does not show the SPS's 80:33: $listed"
run set --sar 16:11 "$stream" >/dev/null || fail "set --sar 16:11 failed"
listed=$(run list "$stream") || fail "list after set failed"
grep -q '16:11' <<<"$listed" || fail "list does not show the new 16:11: $listed"
[ "$(stat -c %s "$stream")" == "$(stat -c %s "$data/SarVui.264")" ] || fail "set changed the length"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "Windows zip: passed"
