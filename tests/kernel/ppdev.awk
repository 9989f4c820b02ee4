# Judges the parallel port's cases (ppdev.sh) after judge.awk: QEMU's ISA parallel port, traced
# access by access. Prints one line per check, then the decoded accesses of one failed cycle.
#
# The adapter's lines as the port carries them: data register bit 0x80 is the clock (set: high),
# control bit 0x08 set pulls the data line low, status bit 0x10 set reads it low. The data
# register's other outputs feed the chip's supply and address pins.

BEGIN {
    # The second program of the two runs while the first keeps the port's trace.
    background["ppdev-second"] = 1
}

/:parallel_ioport_(read|write) / {
    if (tracecase == "") { next }
    if (tracecase != portcase) { portcase = tracecase; last = 0; run = 0 }
    kind = $2
    reg = hex($5)
    v = hex($7)
    n = ++accesses[portcase]
    acc[portcase, n] = kind " " reg " " v
    accAt[portcase, n] = t
    if (last > 0 && t - last > gap[portcase]) { gap[portcase] = t - last; gapAt[portcase] = last }
    last = t
    if (kind == "read" && reg == 2) { controlReads[portcase]++ }
    if (kind == "write" && reg == 2) {
        controlWrites[portcase]++
        if (bit(v, 16) == 0) { withoutIrq[portcase]++ }
    }
    # The pace of the busy wait: the time across each run of data-register reads.
    if (kind == "read" && reg == 0) {
        if (run == 0) { runFrom = t }
        run++
        runTo = t
    } else if (run > 1) {
        waitTime[portcase] += runTo - runFrom
        waitReads[portcase] += run - 1
        run = 0
    } else {
        run = 0
    }
}

# Decodes the accesses from..to of a case into the two lines, one token each: "data 0xNN" for a
# data write that changes more than the clock, "SCL high"/"SCL low", "SDA released"/"SDA pulled
# low" for each control write, "SDA reads high/low" for a status read, "wait N" for a run of
# data-register reads (the last read before a data write belongs to that write's
# read-modify-write, not to the wait). Control reads (the other half of a read-modify-write)
# leave no token.
function decode(c, from, to,   i, k, s, prev, reads, r, tokens) {
    tokens = ""
    prev = -1
    reads = 0
    for (i = from; i <= to; i++) {
        split(acc[c, i], k, " ")
        if (k[1] == "read" && k[2] == 0) { reads++; prev = k[3]; continue }
        if (reads > 0) {
            r = (k[1] == "write" && k[2] == 0) ? reads - 1 : reads
            if (r > 0) { tokens = tokens ", wait " r }
            reads = 0
        }
        if (k[1] == "write" && k[2] == 0) {
            if (prev >= 0 && k[3] - bit(k[3], 128) * 128 == prev - bit(prev, 128) * 128) {
                if (bit(k[3], 128) != bit(prev, 128)) {
                    tokens = tokens ", SCL " (bit(k[3], 128) ? "high" : "low")
                } else {
                    tokens = tokens ", data unchanged"
                }
            } else {
                tokens = tokens sprintf(", data 0x%02X", k[3])
            }
            prev = k[3]
        } else if (k[1] == "write" && k[2] == 2) {
            tokens = tokens ", SDA " (bit(k[3], 8) ? "pulled low" : "released")
        } else if (k[1] == "read" && k[2] == 1) {
            tokens = tokens ", SDA reads " (bit(k[3], 16) ? "low" : "high")
        }
    }
    if (reads > 0) {
        split(acc[c, to + 1], k, " ")
        r = (k[1] == "write" && k[2] == 0) ? reads - 1 : reads
        if (r > 0) { tokens = tokens ", wait " r }
    }
    return substr(tokens, 3)
}

# The accesses of the second cycle of a case, decoded: from the second time the supply is written
# (data 0xF7 after another value) to the access before the third; cycleFrom and cycleTo are left
# at their numbers.
function secondCycle(c,   i, k, seen, data) {
    seen = 0
    data = -1
    cycleFrom = cycleTo = 0
    for (i = 1; i <= accesses[c]; i++) {
        split(acc[c, i], k, " ")
        if (k[1] == "write" && k[2] == 0) {
            if (k[3] == 247 && data != 247) {
                seen++
                if (seen == 2) { cycleFrom = i }
                if (seen == 3) { cycleTo = i - 1; return decode(c, cycleFrom, cycleTo) }
            }
            data = k[3]
        }
    }
    return ""
}

# The shortest time between two writes (line changes) from access `from` to access `to`.
function closestWrites(c, from, to,   i, k, last, closest) {
    last = -1
    closest = -1
    for (i = from; i <= to; i++) {
        split(acc[c, i], k, " ")
        if (k[1] != "write") { continue }
        if (last >= 0 && (closest < 0 || accAt[c, i] - last < closest)) {
            closest = accAt[c, i] - last
        }
        last = accAt[c, i]
    }
    return closest
}

END {
    refused("ppdev-without-module", 2,
            "No /dev/parport0: load the modules (modprobe -a ppdev parport_pc), or there is no port")
    refused("unix-as-user", 1,
            "Run as root, or give the program the right: setcap cap_sys_rawio+ep quorvane_unix")
    measured("unix-as-root")
    measured("ppdev-as-root")
    refused("ppdev-as-user", 13,
            "No right to /dev/parport0: add the user to the group lp (usermod -aG lp USER), log in again")
    measured("ppdev-in-group-lp")
    measured("ppdev-holder")
    refused("ppdev-second", 16, "Another program holds /dev/parport0: stop it, then start again")
    active = marks["active"]
    check(active != "" && active != "none",
          "while the first holds the port the kernel names its holder: " active)

    # One failed cycle, as the port saw it. quorvane_unix waits by reading the data register,
    # 1000 times a millisecond. quorvane_ppdev answers those reads from its copy and sleeps
    # instead, and leaves out the writes that would change nothing: what the port sees of it is
    # the line changes and the samples alone, the changes at least 0.9 ms apart.
    stuck = "data 0xF7, SDA released, wait 1000, data unchanged, data 0xD7, wait 1000, " \
            "SDA released, wait 1000, data unchanged, wait 1000, SDA reads low"
    stuckPpdev = "data 0xF7, data 0xD7, SDA reads low"
    for (i = 0; i < 9; i++) {
        stuck = stuck ", SCL low, wait 1000, SCL high, wait 1000, SDA reads low"
        stuckPpdev = stuckPpdev ", SCL low, SCL high, SDA reads low"
    }
    split("unix-as-root ppdev-as-root ppdev-in-group-lp ppdev-holder", cases, " ")
    for (i = 1; i <= 4; i++) {
        c = cases[i]
        check(secondCycle(c) == (i == 1 ? stuck : stuckPpdev),
              c ": a failed cycle is the supply and address, then nine clock pulses with the " \
              "data line released, and no start condition")
        closest[c] = closestWrites(c, cycleFrom, cycleTo)
        if (i > 1) {
            check(closest[c] >= 0.0009, sprintf("%s: line changes at least 0.9 ms apart " \
                  "(closest %.3f ms)", c, closest[c] * 1000))
        }
    }
    print "\nOne failed cycle of quorvane_ppdev as the port saw it:\n  " secondCycle("ppdev-as-root")

    # What the kernel does with the port that a fake must do too.
    for (i = 2; i <= 4; i++) {
        c = cases[i]
        split(acc[c, 1], k, " ")
        check(k[1] == "write" && k[2] == 2 && k[3] == 28,
              c ": the kernel's claim writes control 0x1C first (SDA pulled low)")
        check(controlReads[c] == 0 && withoutIrq[c] == 0 && controlWrites[c] > 0,
              c ": " controlWrites[c] " control writes, all with interrupt enable 0x10; " \
              "control reads answered from the kernel's copy, none at the port")
    }
    check(controlReads["unix-as-root"] > 0, "unix-as-root: control reads reach the port (" \
          controlReads["unix-as-root"] ")")

    # The second program refuses at once, and the first goes on at its pace meanwhile.
    took = ended["ppdev-second"] - started["ppdev-second"]
    check(took > 0 && took < 1.0, sprintf("ppdev-second: refused in %.3f s", took))
    for (i = 1; i <= 4; i++) {
        c = cases[i]
        check(gap[c] < 1.5, sprintf("%s: longest pause between port accesses %.3f s", c, gap[c]))
    }
    # What the cases cost the processor, against the wall time: recorded, not judged, since
    # TCG's pace and the guest's tick-sampled accounting follow the host's load. A busy wait
    # through ppdev shows in the failed cycle above, as runs of data-register reads.
    print ""
    for (i = 1; i <= 4; i++) {
        c = cases[i]
        if (waitReads[c] > 0) {
            printf "%s: a busy wait's read takes %.2f us here, a millisecond's 1000 reads %.2f ms\n",
                   c, waitTime[c] / waitReads[c] * 1e6, waitTime[c] / waitReads[c] * 1000 * 1000
        }
        wall = ended[c] - started[c]
        if (lines[c] > 2 && wall > 0) {
            printf "%s: %.2f s of processor time in %.2f s (%.3f of the wall time), %d cycles: " \
                   "%.1f ms a cycle\n", c, cpu[c], wall, cpu[c] / wall, lines[c] - 2,
                   cpu[c] / (lines[c] - 2) * 1000
        }
    }
}
