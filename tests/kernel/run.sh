#!/usr/bin/env bash
# The real Linux kernel in the loop: boots Debian's own kernel of an architecture under QEMU (TCG,
# no KVM), runs the programs there in the cases of that architecture, and judges the guest's
# console and QEMU's record of every access to the devices (judge.awk and the cases' judges).
#
#   tests/kernel/run.sh [--arch ARCH] [WORK_DIR]
#     amd64 (the default): the PC machine with QEMU's ISA parallel port at 0x378 and a display's
#       EEPROM (i2c-ddc) at 0x4d on its SMBus; quorvane_unix and quorvane_ppdev on Debian's parport,
#       parport_pc and ppdev modules (ppdev.sh, ppdev.awk), quorvane_i2c on its i2c-stub, i2c-dev,
#       i2c-piix4 and ds1621 (i2c.sh, i2c.awk)
#     arm64: QEMU's virt board; quorvane_gpio on its PL061 GPIO controller (gpio.sh, gpio.awk),
#       quorvane_i2c on i2c-stub (i2c.sh, i2c.awk); cross-compiled with cmake/toolchain-arm64.cmake
#   WORK_DIR defaults to build/kernel-stage (build/kernel-stage-ARCH for another architecture)
#
# Needs QEMU for the architecture (qemu-system-x86, qemu-system-arm), cpio, gzip, make, the
# compiler for it (crossbuild-essential-arm64), and apt-get to fetch the kernel and busybox-static
# of the architecture once (unpacked into WORK_DIR, never installed on this machine; another
# architecture's must be known to dpkg: dpkg --add-architecture arm64, apt-get update). With
# QUORVANE_KERNEL_FETCH=0 a kernel not yet unpacked is not fetched: the script exits with 77
# (CTest: skipped).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
here=$source_dir/tests/kernel
arch=amd64
if [ "${1:-}" = --arch ]; then
    arch=${2:?--arch needs an architecture}
    shift 2
fi
default_work=$source_dir/build/kernel-stage
[ "$arch" = amd64 ] || default_work=$default_work-$arch
work=${1:-$default_work}
mkdir -p "$work"
work=$(cd "$work" && pwd)
jobs=$(nproc)
started=$SECONDS

say() { printf 'kernel stage (%s): %s\n' "$arch" "$*"; }
fail() {
    say "FAILED: $*"
    exit 1
}

# What differs between the architectures: the machine, its console, the devices QEMU traces, the
# programs, the kernel's modules the cases load (those that Debian does not build for the
# architecture are built here from its source), and the cases.
case $arch in
amd64)
    qemu=(qemu-system-x86_64 -machine pc
        -chardev "null,id=port" -device "isa-parallel,chardev=port,iobase=0x378,irq=7"
        -device "i2c-ddc,address=0x4d")
    qemu_package="qemu-system-x86"
    console=ttyS0
    traced=('parallel_ioport_*' serial_write)
    programs=(quorvane_unix quorvane_ppdev quorvane_i2c)
    modules=(drivers/parport/parport.ko drivers/parport/parport_pc.ko drivers/char/ppdev.ko
        drivers/i2c/i2c-dev.ko drivers/i2c/i2c-stub.ko drivers/i2c/busses/i2c-piix4.ko
        drivers/hwmon/ds1621.ko)
    built=()
    cases=(ppdev i2c)
    ;;
arm64)
    qemu=(qemu-system-aarch64 -machine virt -cpu cortex-a57)
    qemu_package="qemu-system-arm"
    console=ttyAMA0
    traced=(pl061_write pl011_write)
    programs=(quorvane_gpio quorvane_i2c)
    modules=(drivers/input/keyboard/gpio_keys.ko drivers/i2c/i2c-dev.ko)
    built=(drivers/i2c/i2c-stub drivers/hwmon/ds1621)
    cases=(gpio i2c)
    ;;
*)
    fail "no cases for the architecture $arch (amd64, arm64)"
    ;;
esac

for tool in "${qemu[0]}" cpio gzip make dpkg-deb; do
    command -v "$tool" >/dev/null || fail "$tool is missing (packages $qemu_package, cpio, gzip, make)"
done

# Builds the modules in `built` for the kernel unpacked in $unpacked, from Debian's source of that
# same kernel (linux-source) against its headers, with this machine's kbuild tools and the
# architecture's compiler, into $unpacked/built. Unsigned, they load and taint the kernel.
build_modules() {
    local abi version kbuild series fetch headers module sources=()
    abi=$(basename "$(find "$unpacked/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -1)")
    version=$(cat "$unpacked/kernel-version")
    kbuild=$(apt-cache depends "linux-headers-$abi:$arch" |
        awk '/Depends: linux-kbuild-/ {print $2; exit}')
    kbuild=${kbuild%%:*} # this machine's kbuild tools serve every architecture's headers
    series=${kbuild#linux-kbuild-}
    [ -n "$series" ] || fail "apt-cache names no kbuild tools behind linux-headers-$abi:$arch"
    say "building ${built[*]} for $abi from linux-source-$series $version"
    mkdir -p "$unpacked/built/tree" "$unpacked/built/modules"
    fetch=$(mktemp -d)
    chmod 0777 "$fetch"
    (cd "$fetch" && apt-get download -q "linux-headers-$abi:$arch" \
        "linux-headers-${abi%-*}-common" "$kbuild" "linux-source-$series=$version" >/dev/null)
    for package in "$fetch"/linux-headers-*.deb "$fetch"/linux-kbuild-*.deb; do
        dpkg-deb -x "$package" "$unpacked/built/tree"
    done
    # The headers include their common half by its installed path.
    headers=$unpacked/built/tree/usr/src/linux-headers-$abi
    sed -i "s|^include /usr/src/|include $unpacked/built/tree/usr/src/|" "$headers/Makefile"
    for module in "${built[@]}"; do
        sources+=("linux-source-$series/$module.c")
        echo "obj-m += $(basename "$module").o" >>"$unpacked/built/modules/Kbuild"
    done
    dpkg-deb --fsys-tarfile "$fetch"/linux-source-*.deb |
        tar -xO --wildcards './usr/src/linux-source-*.tar.xz' |
        tar -xJ -C "$unpacked/built/modules" --strip-components=3 "${sources[@]}"
    rm -rf "$fetch"
    make -s -C "$headers" M="$unpacked/built/modules" modules \
        DEB_BUILD_ARCH="$(dpkg --print-architecture)" DEB_HOST_ARCH="$arch" \
        DEB_HOST_GNU_TYPE="$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)" \
        >/dev/null 2>"$unpacked/built/make.log" || fail "the modules did not build: $unpacked/built/make.log"
}

# The kernel and busybox: the packages that apt names for the architecture today, unpacked once,
# with the modules built for that kernel.
unpacked=$work/unpacked
if [ ! -e "$unpacked/ready" ]; then
    if [ "${QUORVANE_KERNEL_FETCH:-1}" = 0 ]; then
        say "no kernel unpacked in $unpacked and fetching is off: skipped"
        exit 77
    fi
    kernel=$(apt-cache depends "linux-image-$arch:$arch" |
        awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    [ -n "$kernel" ] || fail "apt-cache names no kernel image behind linux-image-$arch:$arch"
    say "fetching $kernel and busybox-static:$arch"
    rm -rf "$unpacked" && mkdir -p "$unpacked"
    # apt's sandbox user may not write into the build folder; the download goes through /tmp.
    fetch=$(mktemp -d)
    chmod 0777 "$fetch"
    (cd "$fetch" && apt-get download -q "${kernel%:*}:$arch" "busybox-static:$arch" >/dev/null)
    for package in "$fetch"/*.deb; do
        dpkg-deb -x "$package" "$unpacked"
    done
    dpkg-deb -f "$fetch"/linux-image-*.deb Version >"$unpacked/kernel-version"
    rm -rf "$fetch"
    [ "${#built[@]}" -eq 0 ] || build_modules
    touch "$unpacked/ready"
fi
vmlinuz=$(find "$unpacked/boot" -name 'vmlinuz-*' | head -1)
modules_dir=$(find "$unpacked/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -1)/kernel
busybox=$unpacked/bin/busybox
[ -n "$vmlinuz" ] && [ -d "$modules_dir" ] && [ -x "$busybox" ] ||
    fail "no kernel, modules or busybox in $unpacked"

# The programs, static: the guest has no C library.
say "building ${programs[*]} statically"
options=(-DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=OFF -DQUORVANE_LTO=OFF
    -DQUORVANE_WERROR="${QUORVANE_WERROR:-OFF}" -DCMAKE_EXE_LINKER_FLAGS=-static)
if command -v ccache >/dev/null; then
    options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    options+=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-$arch.cmake")
fi
cmake -S "$source_dir" -B "$work/static" "${options[@]}" >/dev/null
cmake --build "$work/static" -j"$jobs" --target "${programs[@]}" >/dev/null

# The initramfs: busybox, the programs, the modules, the init script and the cases.
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,etc,proc,sys,dev,tmp,lib/modules,cases}
cp "$busybox" "$root/bin/busybox"
# The guest's busybox may not run here: its applets are the ones that init and the cases use.
for applet in [ cat chgrp chmod echo env find grep head i2cset insmod mkdir mount poweroff printf \
    sh sleep su tail timeout uname; do
    ln -s busybox "$root/bin/$applet"
done
for module in "${modules[@]}"; do
    cp "$modules_dir/$module" "$root/lib/modules/"
done
for module in "${built[@]}"; do
    cp "$unpacked/built/modules/$(basename "$module").ko" "$root/lib/modules/"
done
for program in "${programs[@]}"; do
    cp "$work/static/src/$program" "$root/bin/"
done
cp "$here/init" "$root/init"
chmod 0755 "$root/init"
judges=(-f "$here/judge.awk")
n=0
for name in "${cases[@]}"; do
    n=$((n + 1))
    cp "$here/$name.sh" "$root/cases/$n-$name.sh"
    judges+=(-f "$here/$name.awk")
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

# The guest: no disk, no network, the console on standard output. QEMU records each access to the
# devices and each byte written to the console, with time stamps.
trace_options=()
for event in "${traced[@]}"; do
    trace_options+=(-trace "$event")
done
say "booting $(basename "$vmlinuz") under QEMU (TCG)"
rm -f "$work/trace.log" "$work/console.log"
booted=$SECONDS
timeout 150 "${qemu[@]}" -accel tcg -nodefaults -nographic -no-reboot -m 256 \
    -serial stdio -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=$console quiet loglevel=3 panic=-1" \
    -msg timestamp=on "${trace_options[@]}" -D "$work/trace.log" \
    </dev/null >"$work/console.log" 2>&1 || fail "QEMU ended with status $? (see $work/console.log)"
say "the guest ran $((SECONDS - booted)) s"

tr -d '\r' <"$work/console.log" >"$work/console.txt"
grep -q '^@@done' "$work/console.txt" || fail "the guest did not finish its cases (see $work/console.txt)"
awk -v arch="$arch" "${judges[@]}" "$work/console.txt" "$work/trace.log" >"$work/judgement.txt" ||
    fail "the judges failed to read the run (see $work/judgement.txt)"
cat "$work/judgement.txt"
! grep -q '^FAILED' "$work/judgement.txt" ||
    fail "see $work/judgement.txt, $work/console.txt, $work/trace.log"
say "passed in $((SECONDS - started)) s"
