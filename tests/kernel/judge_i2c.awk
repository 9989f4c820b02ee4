# Judges the I2C cases of a run of tests/kernel/init (tests/kernel/i2c_cases.sh) from the guest's
# console: awk -f console.awk -f judge_i2c.awk console.txt. With -v stub_only=1, the cases of the
# PC's SMBus are not expected (a stage whose machine has none). Prints one line per check, "ok"
# or "FAILED"; exits 1 when a check failed.

END {
    refusedSaying("i2c-without-i2c-dev", 2,
                  "No /dev/i2c-|modprobe i2c-dev|dtparam=i2c_arm=on|\"SMBus stub driver\"")
    # The registers preset in i2c-stub read exactly 25.4 C.
    measured("i2c-stub-as-root", 2, "25.4 C")
    refusedSaying("i2c-stub-as-user", 13, "No right to /dev/i2c-|group i2c")
    refusedSaying("i2c-held-by-ds1621", 16,
                  "The kernel's driver ds1621 holds the chip at 0x4d on /dev/i2c-|" \
                  "/hwmon/hwmon|/temp1_input|/sys/bus/i2c/drivers/ds1621/unbind")
    if (!stub_only) {
        # The display's EEPROM answers with registers no thermometer holds; nothing at 0x48.
        measured("i2c-wrong-chip", 2)
        measured("i2c-empty-address", 2)
    }
    exit failed
}
