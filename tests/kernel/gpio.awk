# Judges the GPIO cases (gpio.sh) after judge.awk: quorvane_gpio on the PL061 of QEMU's virt board,
# whose every register write QEMU traces.
#
# The PL061: a write to an offset below 0x400 sets the data bits that the offset's bits 9..2 mask;
# 0x400 is the direction register (a set bit drives its line). The controller cannot leave a line
# open, so the kernel makes the open-drain lines of a request so: "0" drives the line low, "1"
# turns it into an input.

BEGIN {
    for (n = 0; n < 8; n++) { was[n] = "released" }  # as the controller comes out of reset
}

# The bits of value that mask selects, taken from update and the rest from old.
function merged(old, update, mask,   b, v) {
    v = 0
    for (b = 1; b < 256; b *= 2) {
        v += bit(mask, b) ? bit(update, b) * b : bit(old, b) * b
    }
    return v
}

# How a case left line n: "low" (driven low) or "released" (an input).
function state(n) { return bit(dir, 2 ^ n) ? "low" : "released" }

/:pl061_write / {
    offset = hex($4)
    if (offset < 1024) {
        data = merged(data, hex($6), int(offset / 4) % 256)
    } else if (offset == 1024) {
        dir = hex($6)
    } else {
        next
    }
    for (n = 0; n < 8; n++) {
        if (bit(dir, 2 ^ n) && bit(data, 2 ^ n)) { drivenHigh++ }
        if (state(n) != was[n]) {
            was[n] = state(n)
            if (tracecase != "") {
                changes[tracecase] = changes[tracecase] ", " n " " state(n)
                changedAt[tracecase, n] = t
            }
        }
    }
    if (tracecase != "") {
        writes[tracecase]++
        dirAfter[tracecase] = dir
    }
}

# The wiring check on two lines with no pull-up: nine clock pulses, since SDA reads low, then
# SDA pulled low and released, then the refusal, a millisecond of waiting for the rise later.
function noPullUp(c, sda, scl,   i, expected) {
    refusedSaying(c, 67, "SDA (line " sda " of /dev/gpiochip0) does not rise when released|pull-up")
    expected = ""
    for (i = 0; i < 9; i++) {
        expected = expected ", " scl " low, " scl " released"
    }
    expected = expected ", " sda " low, " sda " released"
    check(changes[c] == expected,
          c ": nine clock pulses on line " scl ", then line " sda " pulled low and released" \
          (changes[c] == expected ? "" : " (saw:" substr(changes[c], 2) ")"))
    check(bit(dirAfter[c], 2 ^ sda) == 0 && bit(dirAfter[c], 2 ^ scl) == 0,
          c ": both lines released at the end")
    check(ended[c] - changedAt[c, sda] >= 0.001,
          sprintf("%s: refused %.1f ms after the release of SDA, having waited for it to rise", c,
                  (ended[c] - changedAt[c, sda]) * 1000))
}

END {
    # The kernel's facts in each hint: the node, the chips there are, the chip's lines, the holder.
    refusedSaying("gpio-as-user", 13, "No right to /dev/gpiochip0|group gpio")
    refusedSaying("gpio-chip-absent", 2, "No GPIO chip /dev/gpiochip3|gpiochip0")
    refusedSaying("gpio-label-absent", 2, "pinctrl-rp1|gpiochip0")
    refusedSaying("gpio-line-beyond", 22, "Line 8 is beyond /dev/gpiochip0|lines 0 to 7")
    refusedSaying("gpio-line-taken", 16,
                  "Line 2 or 3 of /dev/gpiochip0 is taken|line 3 is held by \"GPIO Key Poweroff\"")
    split("gpio-as-user gpio-chip-absent gpio-label-absent gpio-line-beyond gpio-line-taken",
          early, " ")
    for (i = 1; i <= 5; i++) {
        check(changes[early[i]] == "", early[i] ": refused without driving a line")
    }

    noPullUp("gpio-no-pull-up", 2, 3)
    noPullUp("gpio-in-group-gpio", 5, 6)
    check(writes["gpio-no-pull-up"] > 0 && drivenHigh == 0,
          "no line is ever driven high: a released line is an input")
    check(marks["held-by-quorvane"] == "0", "no line is held by quorvane after the refusals (" \
          marks["held-by-quorvane"] ")")
}
