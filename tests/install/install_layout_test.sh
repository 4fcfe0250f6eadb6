#!/usr/bin/env bash
# Installs a build into temporary roots (with --prefix /usr, as for the
# firmware), whole and one component at a time, and checks the layout: every
# program where the firmware's scripts call it and executable, the init
# scripts, units and samples beside their agent, nothing under /usr/lib/lua
# (the board's scripts), nothing that does not ship. Then the init scripts'
# own logic: the programs they start are in their component, and ostrel gets
# its reboot flag on the first start after boot only.
#   install_layout_test.sh CMAKE BUILD_DIR [AGENT...]    AGENT: fenwire, ostrel
set -euo pipefail
cmake="$1" build="$2"; shift 2
agents=("$@")
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# What each component lays out (no path holds a space).
declare -A files=(
    [tools]="usr/bin/ciphrex usr/sbin/rimeload usr/sbin/artmac usr/sbin/bootval usr/sbin/physreg"
    [fenwire]="usr/sbin/Fenwire etc/init.d/fenwire usr/lib/systemd/system/fenwire.service
               usr/share/apmgmt/examples/Fenwire.lua"
    [ostrel]="usr/sbin/ostrel etc/init.d/ostrel usr/lib/systemd/system/ostrel.service
              usr/share/apmgmt/examples/ostrel.lua")

# install_root DIR [COMPONENT]
install_root() {
    local comp=()
    [ $# -lt 2 ] || comp=(--component "$2")
    DESTDIR="$1" "$cmake" --install "$build" --prefix /usr "${comp[@]}" >"$tmp/install.log" 2>&1 ||
        { cat "$tmp/install.log" >&2; fail "cmake --install ${comp[*]} failed"; }
}

# check_root DIR FILE...: DIR holds exactly FILE..., programs executable.
check_root() {
    local dir="$1" f want got; shift
    want="$(printf '%s\n' "$@" | sort)"
    got="$(cd "$dir" && find . ! -type d | sed 's|^\./||' | sort)"
    [ "$want" = "$got" ] ||
        fail "$(basename "$dir"): unexpected layout (< expected, > installed)"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
    for f in "$@"; do
        case "$f" in
            usr/bin/*|usr/sbin/*|etc/init.d/*) [ -x "$dir/$f" ] || fail "$f is not executable" ;;
        esac
    done
    [ ! -e "$dir/usr/lib/lua" ] || fail "$(basename "$dir"): something under /usr/lib/lua"
}

# check_programs_named DIR FILE...: each /usr/(s)bin program that FILE names
# is in DIR, so the init scripts and units start what their component ships.
check_programs_named() {
    local dir="$1" p; shift
    for p in $(grep -ho '/usr/s\{0,1\}bin/[A-Za-z0-9_.-]*' "$@" | sort -u); do
        [ -x "$dir$p" ] || fail "$(basename "$dir"): an init script or unit starts $p, not installed"
    done
}

whole=()
for c in tools "${agents[@]}"; do
    # shellcheck disable=SC2206
    whole+=(${files[$c]})
done
install_root "$tmp/whole"
check_root "$tmp/whole" "${whole[@]}"
for c in tools "${agents[@]}"; do
    install_root "$tmp/$c" "$c"
    # shellcheck disable=SC2086
    check_root "$tmp/$c" ${files[$c]}
    [ "$c" = tools ] || check_programs_named "$tmp/$c" "$tmp/$c/etc/init.d/$c" \
        "$tmp/$c/usr/lib/systemd/system/$c.service"
done

# A stand-in for ostrel that records its arguments, one start per line.
fake="$tmp/fake-ostrel"
printf '#!/bin/sh\necho "args:$*" >>"%s/starts"\n' "$tmp" >"$fake"
chmod +x "$fake"

# run_starts: three starts of the command in "$@"; the arguments of each.
run_starts() {
    rm -f "$tmp/starts" "$tmp/booted"
    "$@"; "$@"; "$@"
    cat "$tmp/starts"
}
want_starts=$'args:1\nargs:\nargs:'

if [ -e "$tmp/ostrel/etc/init.d/ostrel" ]; then
    # The procd script as rc.common runs it, with procd's calls recorded and
    # its paths pointed at the stand-ins.
    got="$(
        procd_open_instance() { :; }
        procd_close_instance() { :; }
        procd_set_param() { [ "$1" != command ] || { shift; cmd=("$@"); }; }
        . "$tmp/ostrel/etc/init.d/ostrel"
        PROG="$fake" SCRIPT="$fake" BOOT_MARK="$tmp/booted"
        start_service
        run_starts "${cmd[@]}"
    )"
    [ "$got" = "$want_starts" ] || fail "procd ostrel: starts after boot gave"$'\n'"$got"
    # systemd unquotes this line as sh does (it holds no $ or %).
    line="$(sed -n 's/^ExecStart=//p' "$tmp/ostrel/usr/lib/systemd/system/ostrel.service" |
            sed -e "s|/usr/sbin/ostrel|$fake|g" -e "s|/run/ostrel.booted|$tmp/booted|g")"
    eval "cmdline=($line)"
    got="$(run_starts "${cmdline[@]}")"
    [ "$got" = "$want_starts" ] || fail "systemd ostrel: starts after boot gave"$'\n'"$got"
fi

[ "$failed" -eq 0 ] && echo "install layout: tools ${agents[*]}: ok"
exit "$failed"
