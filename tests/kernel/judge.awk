# Judges a run of tests/kernel/init, with the judges of its cases (ppdev.awk, gpio.awk) loaded
# after this file: first the guest's console (console.txt), then QEMU's trace of the devices and
# the console (trace.log). Each judge prints one line per check, "ok" or "FAILED"; run.sh fails
# the stage on any FAILED.
#
# What the cases' judges find here:
#   lines[c], out[c, i]   the non-empty lines case c printed, status[c] its exit status
#   cpu[c]                the processor seconds case c spent, from the shell's times
#   marks[word]           what a line "@@word TEXT" of the console said, for "@@" words of a
#                         case's own
#   t                     the time stamp of the trace line at hand, in seconds
#   tracecase             the case whose accesses the trace line belongs to: the last one started
#                         that is not in background[] (set by a judge's BEGIN for a case that
#                         runs beside another), until it ends; "" between cases
#   started[c], ended[c]  when case c started and ended, by the trace

function hex(s,   n, i) {
    n = 0
    s = tolower(s)
    sub(/^0x/, "", s)
    for (i = 1; i <= length(s); i++) {
        n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    }
    return n
}
function bit(v, b) { return int(v / b) % 2 }
function check(ok, what) {
    print (ok ? "ok      " : "FAILED  ") what
}

# A refusal to start: errno, the two messages, the hint, status 1.
function refused(c, error, hint) {
    check(status[c] == 1 && lines[c] == 4 && out[c, 1] == "errno=" error &&
          out[c, 2] == "Error setting I/O Port access permissions" &&
          out[c, 3] == "Make sure that you have root permissions" && out[c, 4] == hint,
          c ": errno=" error ", the two messages, \"" hint "\", status 1 (status " status[c] ")")
}

# The banner, then at least `least` lines (3 when not given) that are each `shown` followed by a
# time stamp (an error line when not given), until SIGINT.
function measured(c, least, shown,   i, good, stamp) {
    least = least == "" ? 3 : least
    shown = shown == "" ? "Error reading thermometer" : shown
    stamp = " [0-2][0-9]:[0-5][0-9]:[0-5][0-9] [01][0-9]\\/[0-3][0-9]\\/[0-9][0-9][0-9][0-9]$"
    good = status[c] == 130 && lines[c] >= least + 2 &&
           out[c, 1] == "*** Starting Temperature measurements ***" &&
           out[c, 2] == "Units=CELCIUS, logging=OFF"
    for (i = 3; i <= lines[c]; i++) {
        if (index(out[c, i], shown) != 1 || substr(out[c, i], length(shown) + 1) !~ stamp) {
            good = 0
        }
    }
    check(good, c ": the banner, then " lines[c] - 2 " lines \"" shown "\", " \
          (shown ~ /^Error/ ? "never a reading, " : "nothing else, ") "until SIGINT (status " \
          status[c] ")")
}

# Refused: status 1, errno, the two messages, and a hint that holds each of the "|"-separated
# parts.
function refusedSaying(c, error, parts,   n, part, i, good) {
    n = split(parts, part, "|")
    good = status[c] == 1 && lines[c] == 4 && out[c, 1] == "errno=" error &&
           out[c, 2] == "Error setting I/O Port access permissions" &&
           out[c, 3] == "Make sure that you have root permissions"
    for (i = 1; i <= n; i++) {
        if (index(out[c, 4], part[i]) == 0) { good = 0 }
    }
    check(good, c ": errno=" error ", the two messages, \"" out[c, 4] "\" saying \"" parts \
          "\", status 1 (status " status[c] ")")
}

# Seconds from the shell's "1m2.345s".
function seconds(s,   p) { split(s, p, /[ms]/); return p[1] * 60 + p[2] }

# ---- the console ----------------------------------------------------------------------------
FNR == NR {
    sub(/\r$/, "")
    if ($1 == "@@case") { next }
    if ($1 == "@@out") { capturing = $2; lines[capturing] = 0; next }
    if ($1 == "@@end") { status[$2] = $3; capturing = ""; next }
    if ($1 == "@@cpu") { cpu[$2] = seconds($5) + seconds($6) - seconds($3) - seconds($4); next }
    if ($1 ~ /^@@/) { word = substr($1, 3); $1 = ""; marks[word] = substr($0, 2); next }
    if (capturing == "" || $0 == "") { next }
    lines[capturing]++
    out[capturing, lines[capturing]] = $0
    next
}

# ---- the trace: its time stamps, and the console's bytes, which place the cases in it ---------
{
    at = index($0, "@")
    colon = index($0, ":")
    if (at == 0 || colon < at) { next }
    t = substr($0, at + 1, colon - at - 1) + 0
}
# The PC's serial port (amd64), and the PL011 of QEMU's virt board (arm64): their data registers.
/:serial_write / {
    if ($4 == "0x00") { consoleByte(hex($6)) }
    next
}
/:pl011_write / {
    if (hex($3) == 0) { consoleByte(hex($5)) }
    next
}

function consoleByte(c,   name, w) {
    if (c == 10) {
        if (text ~ /@@case /) {
            name = substr(text, index(text, "@@case ") + 7)
            started[name] = t
            if (!(name in background)) { tracecase = name }
        }
        if (text ~ /^@@end /) {
            split(text, w, " ")
            ended[w[2]] = t
            if (w[2] == tracecase) { tracecase = "" }
        }
        text = ""
    } else if (c >= 32 && c < 127) {
        text = text sprintf("%c", c)
    }
}
