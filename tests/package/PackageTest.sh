#!/usr/bin/env bash
# The Debian packages as a user gets them: made by CPack from this build, checked by Debian's own tools,
# unpacked into a folder of their own and run from there.
#   PackageTest.sh make DIST CPACK CONFIG   makes the packages into DIST
#   PackageTest.sh CHECK DIST VERSION DATA  one check of them (lintian, contents, run, desktop, man,
#                                           completion); DATA is the folder of the test streams
set -euo pipefail

step=$1
dist=$2
failures=0

fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# expect_equal WHAT ACTUAL EXPECTED
expect_equal() {
    [ "$2" == "$3" ] || fail "$1: '$2', expected '$3'"
}

if [ "$step" == make ]; then
    cpack=$3
    config=$4
    rm -rf "$dist"
    "$cpack" --config "$config" -B "$dist/cpack" -D CPACK_OUTPUT_FILE_PREFIX="$dist"
    ls "$dist"/*.deb
    exit 0
fi

version=$3
data=${4:-}
cli_deb=$(echo "$dist"/pellmar-cli_"$version"_*.deb)
desktop_deb=$(echo "$dist"/pellmar_"$version"_*.deb)
for deb in "$cli_deb" "$desktop_deb"; do
    [ -f "$deb" ] || { echo "no package $deb" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
for deb in "$cli_deb" "$desktop_deb"; do
    dpkg-deb -x "$deb" "$root"
done

case "$step" in
lintian)
    allow_root=()
    [ "$(id -u)" -ne 0 ] || allow_root=(--allow-root)
    # Errors fail; warnings and notes are shown.
    lintian "${allow_root[@]}" --fail-on error --info --tag-display-limit 0 "$cli_deb" "$desktop_deb"
    ;;

contents)
    # Every file the packages should hold is there, in the package it belongs to.
    expect_files() {
        local deb=$1
        shift
        local listing
        listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
        for file in "$@"; do
            grep -qx "./$file" <<<"$listing" || fail "$(basename "$deb") lacks $file"
        done
    }
    expect_files "$cli_deb" usr/bin/pellmar-cli usr/share/man/man1/pellmar-cli.1.gz \
        usr/share/bash-completion/completions/pellmar-cli usr/share/zsh/vendor-completions/_pellmar-cli \
        usr/share/doc/pellmar-cli/copyright usr/share/doc/pellmar-cli/changelog.gz
    icons=()
    for size in 16 22 24 32 48 64 128 256; do
        icons+=("usr/share/icons/hicolor/${size}x${size}/apps/pellmar.png")
    done
    expect_files "$desktop_deb" usr/bin/pellmar usr/share/man/man1/pellmar.1.gz \
        usr/share/applications/pellmar.desktop usr/share/mime/packages/pellmar.xml \
        usr/share/metainfo/org.pellmar.pellmar.metainfo.xml usr/share/icons/hicolor/scalable/apps/pellmar.svg \
        usr/share/doc/pellmar/copyright usr/share/doc/pellmar/changelog.gz "${icons[@]}"
    if dpkg-deb -c "$cli_deb" | grep -q 'usr/bin/pellmar$'; then
        fail "the command-line package holds the desktop program"
    fi

    # Each PNG is as large as the folder it is in says (width and height in its IHDR chunk).
    for icon in "${icons[@]}"; do
        size=${icon#usr/share/icons/hicolor/}
        size=${size%%x*}
        [ -f "$root/$icon" ] || continue
        expect_equal "PNG signature of $icon" "$(od -An -tx1 -N8 "$root/$icon" | tr -d ' ')" 89504e470d0a1a0a
        width=$(od -An -tu4 --endian=big -j16 -N4 "$root/$icon" | tr -d ' ')
        height=$(od -An -tu4 --endian=big -j20 -N4 "$root/$icon" | tr -d ' ')
        expect_equal "size of $icon" "${width}x${height}" "${size}x${size}"
    done

    # The control fields: names, the version of the build, section, and the libraries dpkg-shlibdeps
    # found: the command-line program needs no Qt and no FFmpeg, the desktop program both.
    expect_equal "package name" "$(dpkg-deb -f "$cli_deb" Package)" pellmar-cli
    expect_equal "package name" "$(dpkg-deb -f "$desktop_deb" Package)" pellmar
    for deb in "$cli_deb" "$desktop_deb"; do
        expect_equal "version of $(basename "$deb")" "$(dpkg-deb -f "$deb" Version)" "$version"
        expect_equal "section of $(basename "$deb")" "$(dpkg-deb -f "$deb" Section)" video
        grep -q '<.*@.*>' <<<"$(dpkg-deb -f "$deb" Maintainer)" || fail "$(basename "$deb") has no maintainer address"
    done
    cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
    desktop_depends=$(dpkg-deb -f "$desktop_deb" Depends)
    grep -q 'libc6' <<<"$cli_depends" || fail "pellmar-cli does not depend on libc6: $cli_depends"
    grep -q 'libstdc++6' <<<"$cli_depends" || fail "pellmar-cli does not depend on libstdc++6: $cli_depends"
    if grep -q 'libqt6\|libav' <<<"$cli_depends"; then
        fail "pellmar-cli depends on Qt or FFmpeg: $cli_depends"
    fi
    grep -q 'libqt6widgets6' <<<"$desktop_depends" || fail "pellmar does not depend on Qt Widgets: $desktop_depends"
    grep -q 'libavcodec' <<<"$desktop_depends" || fail "pellmar does not depend on libavcodec: $desktop_depends"

    # The changelog in both packages names this version in its newest entry.
    for package in pellmar-cli pellmar; do
        expect_equal "newest changelog entry of $package" \
            "$(zcat "$root/usr/share/doc/$package/changelog.gz" | head -1 | sed 's/^pellmar (\([^)]*\)).*/\1/')" \
            "$version"
    done
    ;;

run)
    # The packaged programs run from the unpacked folder and tell the package's version.
    cli=$root/usr/bin/pellmar-cli
    expect_equal "pellmar-cli --version" "$("$cli" --version)" "Pellmar $version"
    # The desktop program answers --version and --help without a display.
    expect_equal "pellmar --version" "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        "$root/usr/bin/pellmar" --version)" "Pellmar $version"
    expect_equal "first line of pellmar --help" \
        "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/pellmar" --help | head -1)" \
        "Usage: pellmar [FILE]"

    # A list and a set with the packaged program on a copy of a stream whose SPS states 80:33.
    stream=$work/SarVui.264
    cp "$data/SarVui.264" "$stream"
    before=$(stat -c %s "$stream")
    listed=$("$cli" list "$stream")
    grep -q '80:33' <<<"$listed" || fail "list does not show the SPS's 80:33: $listed"
    "$cli" set --sar 16:11 "$stream" >/dev/null || fail "set --sar 16:11 failed"
    listed=$("$cli" list "$stream")
    grep -q '16:11' <<<"$listed" || fail "list does not show the new 16:11: $listed"
    expect_equal "length after set" "$(stat -c %s "$stream")" "$before"
    # Only the SAR's 32 bits (in at most five bytes) differ from the original.
    changed=$({ cmp -l "$data/SarVui.264" "$stream" || true; } | wc -l)
    if [ "$changed" -lt 1 ] || [ "$changed" -gt 5 ]; then
        fail "$changed bytes changed by set"
    fi
    ;;

desktop)
    # The freedesktop files as their own validators see them.
    desktop-file-validate "$root/usr/share/applications/pellmar.desktop" || fail "desktop-file-validate"
    appstreamcli validate --no-net "$root/usr/share/metainfo/org.pellmar.pellmar.metainfo.xml" ||
        fail "appstreamcli validate"
    release=$(grep -o '<release version="[^"]*"' "$root/usr/share/metainfo/org.pellmar.pellmar.metainfo.xml" |
        head -1 | cut -d'"' -f2)
    expect_equal "newest release of the metainfo" "$release" "$version"

    # The MIME package, compiled as a system would: the raw streams' names have their types, and the
    # desktop entry offers the program for each type the package defines.
    mkdir -p "$work/mime/packages"
    cp "$root/usr/share/mime/packages/pellmar.xml" "$work/mime/packages/"
    update-mime-database "$work/mime" 2>/dev/null || fail "update-mime-database"
    for glob in 264:video/h264 h264:video/h264 hevc:video/h265 265:video/h265 m2v:video/mpv \
        m1v:video/mpv cmp:video/mp4v-es; do
        grep -qx "[0-9]*:${glob#*:}:\*\.${glob%%:*}" "$work/mime/globs2" || fail "no type ${glob#*:} for *.${glob%%:*}"
    done
    offered=$(grep '^MimeType=' "$root/usr/share/applications/pellmar.desktop")
    while read -r type; do
        grep -q "[=;]$type;" <<<"$offered" || fail "the desktop entry does not offer Pellmar for $type"
    done < <(grep -o 'mime-type type="[^"]*"' "$root/usr/share/mime/packages/pellmar.xml" | cut -d'"' -f2)
    ;;

man)
    # Both pages render without a warning and say what the programs' help says: every option, the
    # commands, and the exit statuses.
    for page in pellmar-cli pellmar; do
        file=$root/usr/share/man/man1/$page.1.gz
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man $page: $warnings"
        text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$file" 2>/dev/null | col -b)
        grep -q "^NAME" <<<"$text" || fail "man $page has no NAME"
        case $page in
        pellmar-cli) help=$(env "$root/usr/bin/pellmar-cli" --help) ;;
        pellmar) help=$(env -u DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/pellmar" --help) ;;
        esac
        for option in $(grep -oE '^ +--?[a-z][a-z-]*' <<<"$help" | tr -d ' ' | sort -u); do
            grep -qe "$option" <<<"$text" || fail "man $page lacks $option"
        done
        grep -q "Exit status" <<<"$text" || fail "man $page has no exit status"
        while read -r status; do
            grep -qE "^ +$status( |$)" <<<"$text" || fail "man $page lacks exit status $status"
        done < <(sed -n '/^Exit status:/,$p' <<<"$help" | grep -oE '^  [0-9]+' | tr -d ' ')
    done
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$root/usr/share/man/man1/pellmar-cli.1.gz" 2>/dev/null | col -b)
    for command in list set; do
        grep -qE "^ +$command( |$)" <<<"$text" || fail "man pellmar-cli lacks the command $command"
    done
    ;;

completion)
    "$(dirname "$0")/CompletionTest.sh" "$root/usr/bin/pellmar-cli" \
        "$root/usr/share/bash-completion/completions/pellmar-cli" "$root/usr/share/zsh/vendor-completions/_pellmar-cli"
    ;;

*)
    echo "unknown step $step" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package $step: passed"
