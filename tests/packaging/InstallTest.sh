#!/bin/sh
# What `make install` (cmake --install with DESTDIR) and the package's postinst
# leave on a system: no file capability anywhere, the polkit rules for the
# group tidewell in the place polkitd reads, and a postinst that creates the
# group without granting anything. Usage: InstallTest.sh BUILD_DIR
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# Under another prefix than the configured one nothing is installed: the
# program and the polkit action would look for the helper elsewhere.
if DESTDIR="$stage" cmake --install "$build" --prefix /opt/elsewhere >"$stage.log" 2>&1 ||
    ! grep -q 'configured for the prefix' "$stage.log" || [ -n "$(ls -A "$stage")" ]; then
    echo "FAILED: an install under another prefix is refused before anything is installed"
    cat "$stage.log"; rm -f "$stage.log"; exit 1
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR="$stage" cmake --install "$build" >"$stage.log" 2>&1 || {
    cat "$stage.log"; rm -f "$stage.log"; exit 1; }
rm -f "$stage.log"

fail=0
check() {  # description, command...
    what=$1; shift
    if ! "$@" >/dev/null 2>&1; then
        echo "FAILED: $what"; fail=1
    fi
}
caps=$(getcap -r "$stage" 2>/dev/null || true)
check "no file capability is installed ($caps)" test -z "$caps"
check "the program is installed" test -x "$stage$prefix/bin/tidewell"
policy=$stage/usr/share/polkit-1/actions/org.quorvane.tidewell.zone.policy
check "the polkit action names the helper where it is installed" \
    test -x "$stage$(sed -n 's/.*exec.path">\(.*\)<.*/\1/p' "$policy")"
rules=$stage/usr/share/polkit-1/rules.d/50-tidewell.rules
check "the polkit rules are installed" test -f "$rules"
check "the rules grant set-time to the group" grep -q 'org.freedesktop.timedate1.set-time' "$rules"
check "the rules grant set-ntp to the group" grep -q 'org.freedesktop.timedate1.set-ntp' "$rules"
check "the rules name the group tidewell" grep -q 'isInGroup("tidewell")' "$rules"
check "the postinst grants no capability" sh -c "! grep -q setcap '$build/packaging/postinst'"
check "the postinst creates the group" grep -q 'addgroup --quiet --system tidewell' "$build/packaging/postinst"
exit $fail
