#!/usr/bin/env bash
# Builds the Debian packages: marlek-sms-sender (the windows and the
# substitute gateway), marlek-smsd (the service, when it is in the tree),
# marlek-sms-tools (the command marlek-sms) and a -dbgsym package of each.
# Then checks them as Debian would: lintian, desktop-file-validate and
# appstreamcli validate on the packaged files. Fails on any error or warning;
# prints the packages' paths. Then, where scripts/systemd-check.sh has made
# its container root, tries the service package under a real systemd.
#
#   scripts/package.sh            in a build directory of its own, build/package
#   scripts/package.sh DIR        from the build in DIR, made here if DIR has
#                                 none; scripts/test.sh packages its ci build
#                                 this way. A build that is there must have
#                                 been configured with Debian's flags
#                                 (scripts/debian-flags.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh package

build=${1:-${BUILD_DIR:-build/package}}
. scripts/debian-flags.sh
if [ -f "$build/CMakeCache.txt" ]; then
    for arg in "${debian_cmake_args[@]}"; do
        name=${arg%%=*}
        name=${name#-D}
        want=${arg#*=}
        have=$(sed -n "s/^$name:[A-Z]*=//p" "$build/CMakeCache.txt")
        if [ "$have" != "$want" ]; then
            echo "package.sh: $build has $name '$have', not Debian's '$want'" >&2
            exit 1
        fi
    done
else
    cmake -S . -B "$build" -G Ninja -DSMS_BUILD_TESTS=OFF "${debian_cmake_args[@]}"
fi
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb "$build"/*.ddeb
(cd "$build" && cpack -G DEB)

shopt -s nullglob
packages=("$build"/*.deb "$build"/*.ddeb)
if [ ${#packages[@]} -lt 2 ]; then
    echo "package.sh: expected a package and its -dbgsym package in $build" >&2
    exit 1
fi

failed=0
check() { # name, command...: runs the command, records a failure
    local name=$1
    shift
    if ! "$@"; then
        echo "package.sh: $name failed" >&2
        failed=1
    fi
}

# lintian reads a .ddeb as the .deb it is; all in one run, which spares its
# start-up. Overrides, each with its reason, are in packaging/lintian/.
status=0
report=$(lintian --fail-on error,warning --jobs "$(nproc)" "${packages[@]}" 2>&1) || status=$?
report=$(grep -v '^running with root privileges' <<<"$report" || true)
[ -z "$report" ] || printf '%s\n' "$report"
if [ "$status" -ne 0 ] || grep -q '^[EW]: ' <<<"$report"; then
    echo "package.sh: lintian finds fault with the packages" >&2
    failed=1
fi

# The desktop entry and metainfo as packaged, not as in the repository.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "$build"/*.deb; do
    dpkg-deb -x "$deb" "$root"
done
for desktop in "$root"/usr/share/applications/*.desktop; do
    check "desktop-file-validate $(basename "$desktop")" desktop-file-validate "$desktop"
done
for metainfo in "$root"/usr/share/metainfo/*.metainfo.xml; do
    check "appstreamcli validate $(basename "$metainfo")" appstreamcli validate --no-net "$metainfo"
done
# The metainfo together with the desktop entry and icons it names.
check "appstreamcli validate-tree" appstreamcli validate-tree --no-net "$root"

# The service runs on machines without a desktop, and its unit waits for it
# to say it is ready (Type=notify), which it cannot without libsystemd.
for deb in "$build"/marlek-smsd_*.deb; do
    depends=$(dpkg-deb -f "$deb" Depends)
    if grep -Eq 'libqt6(gui|widgets)|qt6-qpa' <<<"$depends"; then
        echo "package.sh: $(basename "$deb") depends on a Qt GUI library: $depends" >&2
        failed=1
    fi
    if ! grep -q 'libsystemd0' <<<"$depends"; then
        echo "package.sh: $(basename "$deb") is built without libsystemd: $depends" >&2
        failed=1
    fi
done

# The command reads files and links Qt Core alone; both programs recommend it.
for deb in "$build"/marlek-sms-tools_*.deb; do
    depends=$(dpkg-deb -f "$deb" Depends)
    if grep -Eq 'libqt6(network|gui|widgets)|qt6-qpa' <<<"$depends"; then
        echo "package.sh: $(basename "$deb") depends on more than Qt Core: $depends" >&2
        failed=1
    fi
done
for deb in "$build"/marlek-sms-sender_*.deb "$build"/marlek-smsd_*.deb; do
    if ! dpkg-deb -f "$deb" Recommends | grep -q 'marlek-sms-tools'; then
        echo "package.sh: $(basename "$deb") does not recommend marlek-sms-tools" >&2
        failed=1
    fi
done

if [ "$failed" -ne 0 ]; then
    exit 1
fi
ls "${packages[@]}"

# The service under a real systemd, in a container, when its root is made
# already (the first run of scripts/systemd-check.sh makes it, in about two
# minutes; booting it takes about a second).
if [ -e "$(scripts/systemd-check.sh --root-path)/etc/debian_version" ]; then
    BUILD_DIR=$build scripts/systemd-check.sh
else
    echo "package.sh: no container root for scripts/systemd-check.sh yet; run it once to make one"
fi
