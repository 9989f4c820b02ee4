# Judges the I2C cases (i2c.sh) after judge.awk, from the guest's console; the PC's SMBus cases
# only where the machine has one (arch, given by run.sh, is amd64).

END {
    refusedSaying("i2c-without-i2c-dev", 2,
                  "No /dev/i2c-|modprobe i2c-dev|dtparam=i2c_arm=on|\"SMBus stub driver\"")
    # The registers preset in i2c-stub read exactly 25.4 C.
    measured("i2c-stub-as-root", 2, "25.4 C")
    refusedSaying("i2c-stub-as-user", 13, "No right to /dev/i2c-|group i2c")
    refusedSaying("i2c-held-by-ds1621", 16,
                  "The kernel's driver ds1621 holds the chip at 0x4d on /dev/i2c-|" \
                  "/hwmon/hwmon|/temp1_input|/sys/bus/i2c/drivers/ds1621/unbind")
    if (arch == "amd64") {
        # The display's EEPROM answers with registers no thermometer holds; nothing at 0x48.
        measured("i2c-wrong-chip", 2)
        measured("i2c-empty-address", 2)
    }
}
