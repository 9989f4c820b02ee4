#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there: exactly the programs
# and manual pages, the programs runnable, every page rendering without a warning; then builds
# the Debian package and checks its contents and relations.
#   install_test.sh BUILD_DIR CMAKE CPACK HAVE_REAL_PROGRAM(0|1) HAVE_PPDEV_PROGRAM(0|1)
set -euo pipefail

build=$1
cmake=$2
cpack=$3
have_real=$4
have_ppdev=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"

expected=(
    bin/quorvane-plot bin/quorvane_sim bin/quorvane_trace
    share/man/man1/quorvane-plot.1 share/man/man1/quorvane_ppdev.1
    share/man/man1/quorvane_sim.1 share/man/man1/quorvane_trace.1
    share/man/man1/quorvane_unix.1
)
if [ "$have_real" = 1 ]; then
    expected+=(bin/quorvane_unix)
fi
if [ "$have_ppdev" = 1 ]; then
    expected+=(bin/quorvane_ppdev)
fi
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort) ||
    fail "installed files differ from the expected list (< expected, > installed)"

for program in "$prefix"/bin/*; do
    [ -x "$program" ] || fail "$program is not executable"
done
"$prefix/bin/quorvane_trace" --help | grep -q '^Usage: quorvane_trace' || fail "quorvane_trace --help"
"$prefix/bin/quorvane-plot" --help | grep -q '^Usage: quorvane-plot' || fail "quorvane-plot --help"

# From the manual's root, as man runs groff, so that the .so of quorvane_sim.1 resolves.
cd "$prefix/share/man"
for page in man1/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
    text=$(groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)
    grep -q 'EXIT STATUS' <<<"$text" || fail "$page renders without an EXIT STATUS section"
done
cd - >/dev/null

# The Debian package: the same files under /usr, and the relations users rely on.
if command -v dpkg-deb >/dev/null; then
    (cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1) ||
        fail "cpack -G DEB failed: $(cat "$work/cpack.log")"
    deb=$(find "$work/deb" -maxdepth 1 -name '*.deb' | head -n 1)
    if [ -z "$deb" ]; then
        fail "cpack made no .deb"
    else
        contents=$(dpkg-deb -c "$deb")
        for file in "${expected[@]}"; do
            grep -q "\./usr/$file\$" <<<"$contents" || fail "the package lacks /usr/$file"
        done
        [ "$(dpkg-deb -f "$deb" Package)" = quorvane ] || fail "package name"
        dpkg-deb -f "$deb" Recommends | grep -q gnuplot-nox || fail "gnuplot-nox not recommended"
        [ -n "$(dpkg-deb -f "$deb" Depends)" ] || fail "the package declares no dependencies"
        [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "the package has no maintainer"
    fi
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "installed and packaged: ${#expected[@]} files"
