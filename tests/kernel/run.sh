#!/usr/bin/env bash
# The real Linux kernel in the loop: boots Debian's own kernel under QEMU (TCG, no KVM) with QEMU's
# emulated ISA parallel port at 0x378 and a display's EEPROM (i2c-ddc) at 0x4d on its PC SMBus,
# loads Debian's parport, parport_pc and ppdev modules in it, then its I2C modules (i2c-stub,
# i2c-dev, i2c-piix4, ds1621), runs quorvane_unix, quorvane_ppdev and quorvane_i2c there in the
# cases of tests/kernel/init and tests/kernel/i2c_cases.sh, and judges the guest's console and
# QEMU's record of every access to the port (tests/kernel/judge.awk, judge_i2c.awk).
#
#   tests/kernel/run.sh [WORK_DIR]      WORK_DIR defaults to build/kernel-stage
#
# Needs qemu-system-x86, busybox-static, cpio, and apt-get to fetch the kernel package once (it is
# unpacked into WORK_DIR, never installed as this machine's kernel). With QUORVANE_KERNEL_FETCH=0
# a missing kernel is not fetched: the script exits with 77 (CTest: skipped).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$source_dir/build/kernel-stage}
mkdir -p "$work"
work=$(cd "$work" && pwd)
jobs=$(nproc)
started=$SECONDS

say() { printf 'kernel stage: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    exit 1
}

for tool in qemu-system-x86_64 cpio gzip; do
    command -v "$tool" >/dev/null || fail "$tool is missing (packages qemu-system-x86, cpio, gzip)"
done
busybox=/bin/busybox
file_type=$(LC_ALL=C od -An -c -N 4 "$busybox" 2>/dev/null | tr -d ' ')
[ "$file_type" = '177ELF' ] || fail "$busybox is missing (package busybox-static)"
if ldd "$busybox" >/dev/null 2>&1; then
    fail "$busybox is linked dynamically: install busybox-static"
fi

# The kernel: the image package that linux-image-amd64 names today, unpacked once.
kernel_dir=$work/linux
if [ ! -e "$kernel_dir/ready" ]; then
    if [ "${QUORVANE_KERNEL_FETCH:-1}" = 0 ]; then
        say "no kernel unpacked in $kernel_dir and fetching is off: skipped"
        exit 77
    fi
    package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    [ -n "$package" ] || fail "apt-cache names no kernel image behind linux-image-amd64"
    say "fetching $package"
    rm -rf "$kernel_dir" && mkdir -p "$kernel_dir"
    # apt's sandbox user may not write into the build folder; the download goes through /tmp.
    fetch=$(mktemp -d)
    chmod 0777 "$fetch"
    (cd "$fetch" && apt-get download -q "$package" >/dev/null)
    dpkg-deb -x "$fetch"/*.deb "$kernel_dir"
    rm -rf "$fetch"
    touch "$kernel_dir/ready"
fi
vmlinuz=$(find "$kernel_dir/boot" -name 'vmlinuz-*' | head -1)
modules=$(find "$kernel_dir/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -1)/kernel
[ -n "$vmlinuz" ] && [ -d "$modules" ] || fail "no kernel or modules in $kernel_dir"

# The programs, static: the guest has no C library.
say "building quorvane_unix, quorvane_ppdev and quorvane_i2c statically"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$source_dir" -B "$work/static" "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=OFF -DQUORVANE_LTO=OFF \
    -DQUORVANE_WERROR="${QUORVANE_WERROR:-OFF}" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$work/static" -j"$jobs" --target quorvane_unix quorvane_ppdev quorvane_i2c >/dev/null

# The initramfs: busybox, the programs, the modules, the init script and its I2C cases.
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,etc,proc,sys,dev,tmp,lib/modules}
cp "$busybox" "$root/bin/busybox"
for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
cp "$modules/drivers/parport/parport.ko" "$modules/drivers/parport/parport_pc.ko" \
    "$modules/drivers/char/ppdev.ko" "$root/lib/modules/"
for module in i2c-stub i2c-dev i2c-piix4 ds1621; do
    find "$modules/drivers" -name "$module.ko" -exec cp {} "$root/lib/modules/" \;
done
cp "$work/static/src/quorvane_unix" "$work/static/src/quorvane_ppdev" \
    "$work/static/src/quorvane_i2c" "$root/bin/"
cp "$source_dir/tests/kernel/init" "$root/init"
cp "$source_dir/tests/kernel/i2c_cases.sh" "$root/i2c_cases.sh"
chmod 0755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

# The guest: no disk, no network, the console on standard output, the port on a null chardev.
# QEMU records each access to the port and each byte written to the console, with time stamps.
say "booting $(basename "$vmlinuz") under QEMU (TCG)"
rm -f "$work/trace.log" "$work/console.log"
booted=$SECONDS
timeout 150 qemu-system-x86_64 -machine pc -accel tcg -nodefaults -nographic -no-reboot -m 256 \
    -serial stdio -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    -chardev null,id=port -device isa-parallel,chardev=port,iobase=0x378,irq=7 \
    -device i2c-ddc,address=0x4d \
    -msg timestamp=on -trace 'parallel_ioport_*' -trace serial_write -D "$work/trace.log" \
    </dev/null >"$work/console.log" 2>&1 || fail "QEMU ended with status $? (see $work/console.log)"
say "the guest ran $((SECONDS - booted)) s"

tr -d '\r' <"$work/console.log" >"$work/console.txt"
judges=$source_dir/tests/kernel
awk -f "$judges/console.awk" -f "$judges/judge.awk" "$work/console.txt" "$work/trace.log" |
    tee "$work/judgement.txt"
[ "${PIPESTATUS[0]}" = 0 ] || fail "see $work/judgement.txt, $work/console.txt, $work/trace.log"
awk -f "$judges/console.awk" -f "$judges/judge_i2c.awk" "$work/console.txt" |
    tee -a "$work/judgement.txt"
[ "${PIPESTATUS[0]}" = 0 ] || fail "see $work/judgement.txt, $work/console.txt"
say "passed in $((SECONDS - started)) s"
