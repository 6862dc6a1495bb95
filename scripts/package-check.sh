#!/bin/bash
# Checks what a user gets from the Debian package (as root, after scripts/build.sh):
# the manual page renders without warnings and names every option of --help and every
# configuration key the code reads; `cpack -G DEB` builds the package with its library
# dependencies; installed with apt-get, `trafficgen --version`, `--help` (as any user) and
# `man trafficgen` work. The package is removed again, also when a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build
page=$build/trafficgen.1

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[[ -x $build/trafficgen && -f $page ]] || fail "build first (bash scripts/build.sh)"
((EUID == 0)) || fail "installing the package needs root"

# ---------------------------------------------------------------- the manual page
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "the manual page renders with warnings:"$'\n'"$warnings"

version=$("$build/trafficgen" --version)
[[ $version =~ ^trafficgen\ ([0-9]+\.[0-9]+\.[0-9]+)$ ]] || fail "--version printed '$version'"
version=${BASH_REMATCH[1]}
grep -q "^\.TH TRAFFICGEN 1 .*\"trafficgen $version\"" "$page" ||
    fail "the manual page does not carry version $version"

# Options as --help lists them; in the page every option is written \-\-name.
mapfile -t options < <("$build/trafficgen" --help | sed -nE 's/^ +--([a-z0-9-]+).*/\1/p')
((${#options[@]} >= 2)) || fail "--help lists no options"
for option in "${options[@]}"; do
    grep -qF -- "\\-\\-${option//-/\\-}" "$page" || fail "the manual page does not describe --$option"
done
# Keys as the code looks them up: config.getXxx("key", ...) or (keyPrefix + "key", ...).
mapfile -t keys < <(grep -ohE '\b(get(Int|String|Double|Unsigned|Uint|Bool)[A-Za-z0-9]*|hasKey)\((keyPrefix \+ )?"[^"]+"' src/*.cpp |
    sed -E 's/.*"([^"]+)"$/\1/' | sort -u)
((${#keys[@]} >= 10)) || fail "found only ${#keys[@]} configuration keys in src/"
for key in "${keys[@]}"; do
    grep -qF -- "$key" "$page" || fail "the manual page does not describe the key '$key'"
done

# ---------------------------------------------------------------- the package
cpack_output=$(cd "$build" && cpack -G DEB 2>&1) || fail "cpack failed:"$'\n'"$cpack_output"
deb=$build/trafficgen_${version}_amd64.deb
[[ -f $deb ]] || fail "cpack did not make $deb"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libpcap0.8 libstdc++6; do
    [[ $depends == *"$library "* ]] || fail "the package does not depend on $library: '$depends'"
done
[[ $(dpkg-deb -f "$deb" Section) == net ]] || fail "the package's section is not net"

remove_package() {
    apt-get remove -y -qq -o DPkg::Lock::Timeout=300 trafficgen >/dev/null 2>&1 || true
}
trap remove_package EXIT
export DEBIAN_FRONTEND=noninteractive
# Minimal Debian images exclude /usr/share/man from every package (path-exclude in
# /etc/dpkg/dpkg.cfg.d/); the page is let through so that the installed result can be checked.
apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
    -o DPkg::Options::=--path-include=/usr/share/man/man1/trafficgen.1 "$deb" >/dev/null 2>&1 ||
    fail "apt-get install $deb failed"

installed=/usr/bin/trafficgen
[[ $("$installed" --version) == "trafficgen $version" ]] || fail "installed --version is wrong"
# --help needs no root: run it as nobody.
help=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$installed" --help) ||
    fail "installed --help failed for an ordinary user"
[[ $help == *--version* ]] || fail "installed --help does not list --version"
[[ $(man -w trafficgen) == /usr/share/man/man1/trafficgen.1* ]] ||
    fail "man does not find the installed page (man -w: $(man -w trafficgen 2>&1))"
# grep reads all of it: an early exit would end man with SIGPIPE, a failure under pipefail.
grep -c "^ *trafficgen - measure" <<<"$(MANPAGER=cat MANWIDTH=80 man trafficgen 2>/dev/null)" >/dev/null ||
    fail "man trafficgen does not show the page"
[[ -f /usr/share/doc/trafficgen/examples/throughput.conf ]] || fail "examples not installed"

remove_package
trap - EXIT
[[ ! -e $installed ]] || fail "$installed is still there after removing the package"
echo "PASS: package $(basename "$deb") installs, answers --version/--help, man trafficgen works"
