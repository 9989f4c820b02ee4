# The I2C cases, sourced by the guest's init: quorvane_i2c on the kernel's own I2C adapters, the
# modules as .ko files anywhere under /lib/modules, found by their names. The stub's cases need
# nothing of a PC, only the modules i2c-stub, i2c-dev and ds1621; the PC's SMBus cases run where
# the machine has one. Every case's name begins with "i2c-"; i2c.awk judges them.

# The directory for the chips' locks, as a booted system has it.
mkdir -p /run/lock
chmod 1777 /run/lock

load_module() {
    module=$1
    shift
    insmod "$(find /lib/modules -name "$module.ko" | head -n 1)" "$@"
}

# The number of the adapter that sysfs names so.
adapter_number() {
    for adapter in /sys/bus/i2c/devices/i2c-*; do
        if [ "$(cat "$adapter/name")" = "$1" ]; then
            echo "${adapter##*/i2c-}"
        fi
    done
}

# i2c-stub's register file at 0x4d, preset as a DS1621 that has converted: MSB 25 and LSB 0,
# count remain 5, count per degree 16, DONE and 1SHOT, which read 25 - 0.25 + 11/16 = 25.4 C. The
# stub has no behaviour (DONE never changes, the start command does nothing), so the reading is
# exactly known.
i2c_stub_cases() {
    stub="bus=SMBus stub driver"
    load_module i2c-stub chip_addr=0x4d
    run i2c-without-i2c-dev 0 env QUORVANE_I2C="$stub" /bin/quorvane_i2c -v
    load_module i2c-dev
    bus=$(adapter_number "SMBus stub driver")
    i2cset -y "$bus" 0x4d 0xaa 0x0019 w
    i2cset -y "$bus" 0x4d 0xa8 0x05 b
    i2cset -y "$bus" 0x4d 0xa9 0x10 b
    i2cset -y "$bus" 0x4d 0xac 0x89 b
    run i2c-stub-as-root 5 env QUORVANE_I2C="$stub" /bin/quorvane_i2c -v
    # No udev here: the node stays as devtmpfs makes it, root's alone.
    run i2c-stub-as-user 0 $as_tester "QUORVANE_I2C='$stub' exec /bin/quorvane_i2c -v"
    # The kernel's own driver, declared on the chip. Its probe switches the chip to continuous
    # conversions, so this comes last.
    load_module ds1621
    echo ds1621 0x4d >"/sys/bus/i2c/devices/i2c-$bus/new_device"
    run i2c-held-by-ds1621 0 env QUORVANE_I2C="$stub" /bin/quorvane_i2c -v
}

# QEMU's PC SMBus (PIIX4), with its i2c-ddc (a display's EEPROM) at 0x4d: a wrong chip that
# answers every call, and 0x48, where nothing answers.
i2c_smbus_cases() {
    smbus="bus=SMBus PIIX4 adapter at 0700"
    load_module i2c-piix4
    run i2c-wrong-chip 5 env QUORVANE_I2C="$smbus" /bin/quorvane_i2c -v
    run i2c-empty-address 4 env QUORVANE_I2C="$smbus;address=0x48" /bin/quorvane_i2c -v
}

i2c_stub_cases
if [ "$(uname -m)" = x86_64 ]; then
    i2c_smbus_cases
fi
