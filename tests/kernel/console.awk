# The guest's console as the judges read it (awk -f console.awk -f JUDGE console.txt ...): the
# output of each case of tests/kernel/init between its markers, and the checks every judge makes.
# Reads the first file only; a judge reads the others.
#   lines[c], out[c, i]   the lines case c printed
#   status[c]             its exit status (130: stopped by SIGINT)
#   active                what the kernel named as the port's holder meanwhile
#   cpu[c]                the processor seconds case c spent, from the shell's times

function check(ok, what) {
    if (ok) {
        print "ok      " what
    } else {
        print "FAILED  " what
        failed = 1
    }
}

# Seconds from the shell's "1m2.345s".
function seconds(s) { split(s, p, /[ms]/); return p[1] * 60 + p[2] }

# ---- the console ----------------------------------------------------------------------------
FNR == NR {
    sub(/\r$/, "")
    if ($1 == "@@out") { capturing = $2; lines[capturing] = 0; next }
    if ($1 == "@@end") { status[$2] = $3; capturing = ""; next }
    if ($1 == "@@active") { active = $2; next }
    if ($1 == "@@cpu") { cpu[$2] = seconds($5) + seconds($6) - seconds($3) - seconds($4); next }
    if ($1 ~ /^@@/ || capturing == "" || $0 == "") { next }
    lines[capturing]++
    out[capturing, lines[capturing]] = $0
    next
}

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

