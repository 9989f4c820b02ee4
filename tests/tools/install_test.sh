#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there: exactly the programs,
# the compressed manual pages, the service with its user and the package's documents; the
# programs runnable, every page rendering without a warning, the service accepted by systemd;
# then builds the Debian package and checks its contents and relations.
#   install_test.sh BUILD_DIR CMAKE CPACK HAVE_REAL_PROGRAM(0|1) HAVE_PPDEV_PROGRAM(0|1)
#                   [SYSTEMD_ANALYZE]
set -euo pipefail

build=$1
cmake=$2
cpack=$3
have_real=$4
have_ppdev=$5
systemd_analyze=${6:-}
# The service runs whichever real program was built.
have_service=0
if [ "$have_real" = 1 ] || [ "$have_ppdev" = 1 ]; then
    have_service=1
fi

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
    bin/quorvane-export bin/quorvane-plot bin/quorvane_sim bin/quorvane_trace
    share/man/man1/quorvane-export.1.gz share/man/man1/quorvane-plot.1.gz
    share/man/man1/quorvane_sim.1.gz share/man/man1/quorvane_trace.1.gz
    share/man/man1/quorvane_unix.1.gz
    share/doc/quorvane/copyright share/doc/quorvane/changelog.Debian.gz
    share/lintian/overrides/quorvane
)
if [ "$have_real" = 1 ]; then
    expected+=(bin/quorvane_unix)
fi
if [ "$have_ppdev" = 1 ]; then
    expected+=(bin/quorvane_ppdev share/man/man1/quorvane_ppdev.1.gz lib/modules-load.d/quorvane.conf)
fi
# quorvane_gpio is built where the kernel's headers have the GPIO interface it speaks.
if [ -e "$build/src/quorvane_gpio" ]; then
    expected+=(bin/quorvane_gpio share/man/man1/quorvane_gpio.1.gz)
fi
# quorvane_i2c, where they have the I2C device's interface.
if [ -e "$build/src/quorvane_i2c" ]; then
    expected+=(bin/quorvane_i2c share/man/man1/quorvane_i2c.1.gz)
fi
if [ "$have_service" = 1 ]; then
    expected+=(lib/systemd/system/quorvane.service lib/systemd/system/quorvane@.service
        lib/sysusers.d/quorvane.conf lib/tmpfiles.d/quorvane.conf
        lib/modules-load.d/quorvane-i2c.conf share/doc/quorvane/examples/mqtt.conf)
fi
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort) ||
    fail "installed files differ from the expected list (< expected, > installed)"

for program in "$prefix"/bin/*; do
    [ -x "$program" ] || fail "$program is not executable"
done
for tool in quorvane_trace quorvane-plot quorvane-export; do
    "$prefix/bin/$tool" --help | grep -q "^Usage: $tool" || fail "$tool --help"
done

# Compressed as Debian wants them; an alias is a link to the page it stands for.
for page in "$prefix"/share/man/man1/*.1.gz; do
    name=$(basename "$page")
    gzip -t "$page" 2>/dev/null || fail "$name is not gzip-compressed (or its link is dangling)"
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || fail "groff failed on $name"
    [ -z "$warnings" ] || fail "groff warns on $name: $warnings"
    text=$(zcat "$page" | groff -man -Tutf8 -P-cbou 2>/dev/null)
    grep -q 'EXIT STATUS' <<<"$text" || fail "$name renders without an EXIT STATUS section"
done

# The unit as systemd reads it: every key known, the programs there, the pages it names found.
unit=$prefix/lib/systemd/system/quorvane.service
if [ -f "$unit" ]; then
    grep -q "^ExecStart=$prefix/bin/quorvane-export --lines --textfile /var/lib/quorvane/quorvane.prom -- $prefix/bin/quorvane_" "$unit" ||
        fail "the service does not run the installed exporter and program: $(grep ExecStart "$unit")"
    if [ -n "$systemd_analyze" ]; then
        verdict=$(MANPATH=$prefix/share/man "$systemd_analyze" verify "$unit" 2>&1) ||
            fail "systemd-analyze verify refuses the service: $verdict"
        # It reports keys it does not understand, but still succeeds.
        [ -z "$verdict" ] || fail "systemd-analyze verify finds fault with the service: $verdict"
    fi
    # An instance of the template, as systemd reads it for quorvane@freezer.
    template=$prefix/lib/systemd/system/quorvane@.service
    grep -q "^ExecStart=$prefix/bin/quorvane-export --lines --sensor %i --textfile /var/lib/quorvane/quorvane@%i.prom .* -- $prefix/bin/\${QUORVANE_PROGRAM} " "$template" ||
        fail "the template does not run the installed exporter and its instance's program: $(grep ExecStart "$template")"
    if [ -n "$systemd_analyze" ]; then
        mkdir -p "$work/template"
        cp "$template" "$work/template/"
        ln -s quorvane@.service "$work/template/quorvane@freezer.service"
        verdict=$(MANPATH=$prefix/share/man "$systemd_analyze" verify "$work/template/quorvane@freezer.service" 2>&1) ||
            fail "systemd-analyze verify refuses an instance of the template: $verdict"
        [ -z "$verdict" ] || fail "systemd-analyze verify finds fault with an instance of the template: $verdict"
    fi
    # The MQTT drop-in of the documentation, put in place as its comments say: systemd accepts
    # the two together, and the drop-in runs what the unit runs, with MQTT added.
    example=$prefix/share/doc/quorvane/examples/mqtt.conf
    if [ "$have_ppdev" = 1 ] && [ -f "$example" ]; then
        mkdir -p "$work/unit/quorvane.service.d"
        cp "$unit" "$work/unit/"
        sed "s|/usr/bin/|$prefix/bin/|g" "$example" >"$work/unit/quorvane.service.d/mqtt.conf"
        mqtt=" --mqtt mqtt://quorvane@broker.lan --mqtt-password-file /etc/quorvane/mqtt-password"
        [ "$(grep '^ExecStart=.' "$work/unit/quorvane.service.d/mqtt.conf" | sed "s|$mqtt||")" = \
            "$(grep '^ExecStart=' "$unit")" ] ||
            fail "the MQTT drop-in runs something else than the service: $(grep '^ExecStart=.' "$example")"
        if [ -n "$systemd_analyze" ]; then
            verdict=$(MANPATH=$prefix/share/man "$systemd_analyze" verify "$work/unit/quorvane.service" 2>&1) ||
                fail "systemd-analyze verify refuses the service with the MQTT drop-in: $verdict"
            [ -z "$verdict" ] || fail "systemd-analyze verify finds fault with the MQTT drop-in: $verdict"
        fi
    fi
fi

# The Debian package: the same files under /usr, and the relations users rely on.
if command -v dpkg-deb >/dev/null; then
    # cpack would first have make bring the whole build up to date (the Makefiles' preinstall
    # step): a walk over every target, most of this test's time and far more on a loaded
    # machine, for a build that the tests already run on. Told that the build uses Ninja, a
    # generator without that step, it installs and packages the same files.
    (cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" \
        -D CPACK_CMAKE_GENERATOR=Ninja >"$work/cpack.log" 2>&1) ||
        fail "cpack -G DEB failed: $(cat "$work/cpack.log")"
    deb=$(find "$work/deb" -maxdepth 1 -name '*.deb' | head -n 1)
    if [ -z "$deb" ]; then
        fail "cpack made no .deb"
    else
        contents=$(dpkg-deb -c "$deb")
        for file in "${expected[@]}"; do
            grep -q "\./usr/$file\( -> .*\)\?\$" <<<"$contents" || fail "the package lacks /usr/$file"
        done
        [ "$(dpkg-deb -f "$deb" Package)" = quorvane ] || fail "package name"
        dpkg-deb -f "$deb" Recommends | grep -q gnuplot-nox || fail "gnuplot-nox not recommended"
        [ -n "$(dpkg-deb -f "$deb" Depends)" ] || fail "the package declares no dependencies"
        maintainer=$(dpkg-deb -f "$deb" Maintainer)
        grep -Eq '^[^<]+ <[^@<>]+@[^@<>]+\.[a-z]+>$' <<<"$maintainer" && ! grep -q localhost <<<"$maintainer" ||
            fail "the maintainer is not a name and a real address: $maintainer"
        # Who may use the GPIO chips is the administrator's choice, never the package's (and the
        # list of files above holds no udev rule).
        ! grep -Eq 'gpio|udev|chmod|chgrp' <(dpkg-deb -I "$deb" postinst 2>/dev/null) ||
            fail "the package's postinst touches device permissions"
        if [ "$have_service" = 1 ]; then
            dpkg-deb -I "$deb" postinst | grep -q 'systemd-sysusers quorvane.conf' ||
                fail "the package does not create the service's user"
            grep -q "^ExecStart=/usr/bin/quorvane-export .* -- /usr/bin/quorvane_" \
                <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/quorvane.service) ||
                fail "the packaged service does not run /usr/bin/quorvane-export"
            grep -q '^l.* \./var/lib/prometheus/node-exporter/quorvane\.prom -> \.\./\.\./quorvane/quorvane\.prom$' <<<"$contents" ||
                fail "the package does not link node_exporter's directory to the service's metrics file"
        fi
    fi
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "installed and packaged: ${#expected[@]} files"
