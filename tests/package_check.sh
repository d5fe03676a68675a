#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks what it brings: lintian's verdict
# (which covers stripping, permissions and owners, compressed files, the manual page's warnings),
# then what lintian cannot know: the AppStream metainfo, the desktop file, every icon size, the
# versions the manual page and changelog name, the copyright's licence text; that
# `cmake --install` lays out the same files; and, run as the ordinary user nobody, where the
# installed program and a copy run from its own folder write their log.
#   tests/package_check.sh BUILD_FOLDER
set -euo pipefail

build=$(cd "${1:?usage: package_check.sh BUILD_FOLDER}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
app_id=org.quorvane.Quorvane
first_line="Verifica presenza terminali compatibili"
nobody=65534

work=$(mktemp -d)
chmod 755 "$work"
program_pid=
cleanup() {
    [[ -n "$program_pid" ]] && kill -KILL "$program_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

passed=0 failed=0
check() { # description, command...
    local description=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok    $description"
    else
        failed=$((failed + 1))
        echo "FAIL  $description"
    fi
}

for tool in cpack dpkg-deb lintian appstreamcli desktop-file-validate file gzip; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool (tools/dev installs it)"; exit 1; }
done

# ---- the package
cmake --build "$build" --target quorvane quorvane-check quorvane_packaging >/dev/null
(cd "$build" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; exit 1; }
debs=("$work"/package/quorvane_*.deb)
[[ ${#debs[@]} == 1 && -f "${debs[0]}" ]] || { echo "cpack made no single .deb"; exit 1; }
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "package: $(basename "$deb")"

lintian_clean() {
    # Informational tags are shown, errors and warnings fail.
    lintian --display-info --fail-on error,warning "$deb" 2>&1 \
        | grep -v "running with root privileges is not recommended" | sed 's/^/      /'
    return "${PIPESTATUS[0]}"
}
check "lintian: no error, no warning" lintian_clean

control_fields() {
    local maintainer depends description
    maintainer=$(dpkg-deb -f "$deb" Maintainer)
    depends=$(dpkg-deb -f "$deb" Depends)
    description=$(dpkg-deb -f "$deb" Description)
    [[ "$maintainer" == *"<"*"@"*">"* && "$maintainer" != *@localhost* ]] \
        || { echo "      maintainer: $maintainer"; return 1; }
    [[ ",$depends," == *"fonts-dejavu-core"* && "$depends" == *libqt6widgets6* \
        && "$depends" == *libqt6serialport6* ]] || { echo "      depends: $depends"; return 1; }
    (($(wc -l <<<"$description") >= 4)) || { echo "      description: $description"; return 1; }
}
check "control: real maintainer, dependencies, extended description" control_fields

root=$work/root
dpkg-deb -x "$deb" "$root"

installs_under_usr() {
    local outside
    outside=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)
    [[ -z "$outside" ]] || { echo "      outside /usr: $outside"; return 1; }
    [[ -x "$root/usr/bin/quorvane" && -x "$root/usr/bin/quorvane-check" ]]
}
check "everything installs under /usr, both programs" installs_under_usr

completion_installed() {
    local file=$root/usr/share/bash-completion/completions/quorvane-check
    bash -n "$file" && grep -q "complete -F _quorvane_check quorvane-check" "$file"
}
check "bash completion of quorvane-check" completion_installed

metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
desktop=$root/usr/share/applications/$app_id.desktop

metainfo_valid() {
    local out issues
    out=$(appstreamcli validate --no-net --pedantic --no-color "$metainfo" 2>&1) \
        || { echo "$out" | sed 's/^/      /'; return 1; }
    # The component id is the project's chosen reverse-DNS name, capital Q included.
    issues=$(grep -E '^[EWIP]: ' <<<"$out" | grep -v "cid-contains-uppercase-letter $app_id" || true)
    [[ -z "$issues" ]] || { echo "$issues" | sed 's/^/      /'; return 1; }
}
check "appstreamcli validate --pedantic: nothing but the id's capital" metainfo_valid

tree_valid() {
    local out
    out=$(appstreamcli validate-tree --no-net --no-color "$root" 2>&1) \
        || { echo "$out" | sed 's/^/      /'; return 1; }
}
check "appstreamcli validate-tree" tree_valid

metainfo_agrees() {
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" \
        && grep -q "<binary>quorvane</binary>" "$metainfo" \
        && grep -q "<project_license>MIT</project_license>" "$metainfo" \
        && grep -q "<content_rating type=\"oars-1.1\"" "$metainfo" \
        && grep -Eq "<release version=\"$version\" date=\"[0-9]{4}-[0-9]{2}-[0-9]{2}\"" "$metainfo" \
        || { echo "      metainfo disagrees with the package (version $version)"; return 1; }
}
check "metainfo: launchable, binary, licence, rating, release $version" metainfo_agrees

desktop_valid() {
    local out
    out=$(desktop-file-validate "$desktop" 2>&1) || { echo "$out" | sed 's/^/      /'; return 1; }
    [[ -z "$out" ]] || { echo "$out" | sed 's/^/      /'; return 1; }
    grep -qx "Categories=Utility;TelephonyTools;" "$desktop" && grep -qx "Exec=quorvane" "$desktop"
}
check "desktop-file-validate, categories" desktop_valid

icon=$(sed -n 's/^Icon=//p' "$desktop")
icons_present() {
    local size description ok=0
    for size in 16 32 48 64 128 256; do
        description=$(file -b "$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" 2>&1)
        if [[ "$description" != "PNG image data, $size x $size,"* ]]; then
            echo "      ${size}x${size}: $description"
            ok=1
        elif ((size <= 32)) && [[ "$description" != *"4-bit colormap"* ]]; then
            echo "      ${size}x${size} is not a 16-colour image: $description"
            ok=1
        fi
    done
    description=$(file -b "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" 2>&1)
    [[ "$description" == "SVG Scalable Vector Graphics image"* ]] \
        || { echo "      scalable: $description"; ok=1; }
    return $ok
}
check "icon '$icon' at 16, 32 (16 colours), 48, 64, 128, 256 and scalable" icons_present

# Lintian has judged the rest of the manual page (man --warnings) and the changelog (gzip -n);
# what it cannot know is the version they should name.
manual_current() { # page
    gzip -dc "$root/usr/share/man/man1/$1.1.gz" | grep -qi "^\.TH $1 1 .*\"Quorvane $version\"" \
        || { echo "      the manual page does not name version $version"; return 1; }
}
check "manual page quorvane(1) names version $version" manual_current quorvane
check "manual page quorvane-check(1) names version $version" manual_current quorvane-check
version_answered() {
    [[ "$("$root/usr/bin/quorvane-check" --version)" == "quorvane-check $version" ]]
}
check "quorvane-check --version says $version" version_answered

doc=$root/usr/share/doc/quorvane
copyright_matches() {
    head -1 "$doc/copyright" \
        | grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
        || { echo "      not in the machine-readable format"; return 1; }
    grep -qx "License: Expat" "$doc/copyright" || { echo "      no Expat licence"; return 1; }
    # The licence text is LICENSE's, word for word.
    diff <(sed -n '/^ Permission is/,$p' "$doc/copyright" | sed 's/^ //; s/^\.$//') \
        <(sed -n '/^Permission is/,$p' "$source_dir/LICENSE") | sed 's/^/      /'
    return "${PIPESTATUS[0]}"
}
check "copyright: machine-readable, LICENSE's text" copyright_matches

changelog_current() {
    gzip -dc "$doc/changelog.gz" | head -1 | grep -q "^quorvane ($version) " \
        || { echo "      changelog's latest entry is not $version"; return 1; }
}
check "changelog.gz: latest entry $version" changelog_current

# ---- cmake --install lays out the same files under any prefix
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
same_layout() {
    diff <(cd "$root/usr" && find . -type f | sort) <(cd "$prefix" && find . -type f | sort) \
        | sed 's/^/      /'
    return "${PIPESTATUS[0]}"
}
check "cmake --install --prefix gives the package's files" same_layout

# ---- where the log goes, as an ordinary user
if ((EUID != 0)) || ! command -v setpriv >/dev/null; then
    echo "skip  log folder checks: they run the program as user nobody, which needs root and setpriv"
else
    # A home of nobody's own, its data folder not made yet.
    make_home() {
        home=$(mktemp -d "$work/home.XXXXXX")
        chmod 755 "$home"
        mkdir -m 700 "$home/runtime"
        chown -R "$nobody:$nobody" "$home"
        data_log=$home/.local/share/Quorvane/Quorvane.txt
    }
    # Runs PROGRAM as nobody in `home` until its log FILE holds LINES lines, and kills it then.
    # The program's first check, which would walk the machine's serial ports, starts 3 seconds
    # after its first line: the program is killed long before, 2 s after its start at the latest
    # whatever happened. GRACE (ms) is how long it is given after those lines to write one it
    # should not (a line written at start-up comes within microseconds of the first).
    run_as_nobody() { # program, log file, lines, grace
        local program=$1 log=$2 lines=$3 grace=$4 start now seen=
        setpriv --reuid=$nobody --regid=$nobody --clear-groups \
            env -i PATH=/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/.local/share" \
            XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache" \
            XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
            "$program" >"$home/output" 2>&1 &
        program_pid=$!
        start=$(date +%s%3N)
        while :; do
            now=$(date +%s%3N)
            if [[ -z "$seen" && -f "$log" ]] && (($(wc -l <"$log") >= lines)); then
                seen=$now
            fi
            [[ -n "$seen" ]] && ((now - seen >= grace)) && break
            ((now - start >= 2000)) && break
            kill -0 "$program_pid" 2>/dev/null || break
            sleep 0.02
        done
        kill -KILL "$program_pid" 2>/dev/null || true
        wait "$program_pid" 2>/dev/null || true
        program_pid=
        if [[ -z "$seen" ]]; then
            echo "      no $lines line(s) in $log within 2 s"
            sed 's/^/      program: /' "$home/output"
            return 1
        fi
    }
    # The messages of a log, time stamps and CR LF line ends checked and taken off.
    messages() { # log file
        local line
        while IFS= read -r line; do
            if [[ "$line" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}\ -\ (.*)$'\r'$ ]]; then
                echo "${BASH_REMATCH[1]}"
            else
                echo "(malformed) $line"
            fi
        done <"$1"
    }
    expect_messages() { # log file, expected messages...
        local log=$1
        shift
        diff <(printf '%s\n' "$@") <(messages "$log") | sed 's/^/      /'
        return "${PIPESTATUS[0]}"
    }
    no_log_in() { # folder
        local strays
        strays=$(find "$1" -name Quorvane.txt)
        [[ -z "$strays" ]] || { echo "      log written to $strays:"; sed 's/^/      /' $strays; return 1; }
    }

    # An installed program writes to the data folder from its first line and says so once.
    installed_logs_to_data_folder() { # binary folder
        local bin=$1
        # Even a binary folder the user may write to is not where an installed program logs.
        chown "$nobody:$nobody" "$bin"
        make_home
        run_as_nobody "$bin/quorvane" "$data_log" 2 0 || { no_log_in "$(dirname "$bin")"; return 1; }
        expect_messages "$data_log" "$first_line" "Il registro viene scritto in $data_log" \
            && no_log_in "$(dirname "$bin")"
    }
    check "installed package, as nobody: log in the data folder, said once" \
        installed_logs_to_data_folder "$root/usr/bin"
    check "cmake --install, as nobody: log in the data folder, said once" \
        installed_logs_to_data_folder "$prefix/bin"

    # A copy run from a folder of its own writes beside itself, and says nothing about it.
    portable_logs_beside_itself() {
        local folder=$work/portable
        mkdir "$folder"
        cp "$build/quorvane" "$folder/"
        chown -R "$nobody:$nobody" "$folder"
        make_home
        run_as_nobody "$folder/quorvane" "$folder/Quorvane.txt" 1 500 || { no_log_in "$home"; return 1; }
        expect_messages "$folder/Quorvane.txt" "$first_line" && no_log_in "$home"
    }
    check "portable copy, as nobody: log beside itself, nothing said" portable_logs_beside_itself

    # The check from a terminal writes to the same log as the window program, and says where.
    check_logs_to_data_folder() {
        make_home
        setpriv --reuid=$nobody --regid=$nobody --clear-groups \
            env -i PATH=/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/.local/share" \
            "$root/usr/bin/quorvane-check" /dev/null >"$home/output" 2>&1
        (($? == 1)) || { sed 's/^/      output: /' "$home/output"; return 1; }
        [[ "$(messages "$data_log" | head -1)" == "Il registro viene scritto in $data_log" ]] \
            || { echo "      no log in $data_log"; return 1; }
        no_log_in "$root/usr/bin"
    }
    check "installed quorvane-check, as nobody: log in the data folder, said once" \
        check_logs_to_data_folder
fi

echo "$passed passed, $failed failed"
((failed == 0))
