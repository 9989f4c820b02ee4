#!/usr/bin/env bash
# Runs the real program where the access request is refused: as a user without the right to the
# port, so that ioperm refuses on any machine, and then with each refusal the kernel can give,
# made by the faked ioperm of the fake-parport library. Each time the program must print the
# three messages and the hint that fits the refusal, nothing else, and exit with 1, before it
# looks at its arguments. Never runs the program where ioperm could grant the port: it would
# drive real port lines.
#   refused_access.sh PATH/TO/quorvane_unix PATH/TO/libquorvane_fake_parport.so
set -uo pipefail

program=${1:?usage: refused_access.sh PATH/TO/quorvane_unix PATH/TO/FAKE_PARPORT_LIBRARY}
fake=${2:?usage: refused_access.sh PATH/TO/quorvane_unix PATH/TO/FAKE_PARPORT_LIBRARY}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# The unprivileged user must reach the files: the build tree may lie under a private home.
chmod 755 "$dir"
cp "$program" "$dir/quorvane_unix"
cp "$fake" "$dir/fake_parport.so"
chmod 755 "$dir/quorvane_unix" "$dir/fake_parport.so"
cd "$dir" || exit 1

if [ "$(id -u)" -eq 0 ]; then
    if ! command -v setpriv >/dev/null; then
        echo "setpriv is needed to run the program without privileges" >&2
        exit 1
    fi
    unprivileged=(setpriv --reuid=65534 --regid=65534 --clear-groups)
else
    unprivileged=()
fi

messages=$'\nError setting I/O Port access permissions\nMake sure that you have root permissions'
no_raw_io=$'\nThis kernel has no raw port access: use quorvane_ppdev'
lockdown=$'\nThe kernel forbids raw port access (lockdown, Secure Boot): use quorvane_ppdev'
no_right=$'\nRun as root, or give the program the right: setcap cap_sys_rawio+ep quorvane_unix'
passed=0
failed=0

# check DESCRIPTION ERRNO HINT COMMAND... : the command must refuse with ERRNO (any number when
# empty, which then picks the hint from those an unprivileged user can meet) and print HINT.
check() {
    local what=$1 want=$2 hint=$3
    shift 3
    "$@" >"$dir/out" 2>"$dir/err" </dev/null
    local status=$?
    # Read the output whole, trailing newlines included.
    local out
    out=$(cat "$dir/out"; printf x)
    out=${out%x}
    local error=none
    [[ $out =~ ^$'\n'errno=([0-9]+) ]] && error=${BASH_REMATCH[1]}
    if [ -z "$want" ]; then
        case $error in
        1) hint=$no_right ;;
        38) hint=$no_raw_io ;;
        esac
        want=$error
    fi
    local problems=()
    [ "$out" = $'\n'"errno=$want$messages$hint" ] || problems+=("stdout was $(printf %q "$out")")
    [ "$status" -eq 1 ] || problems+=("exit status was $status")
    [ -s "$dir/err" ] && problems+=("stderr was $(printf %q "$(cat "$dir/err")")")
    if [ ${#problems[@]} -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $what: ${problems[*]}"
    fi
}

# The kernel's own refusal, whichever this machine gives an unprivileged user.
for arguments in "" "--help" "/?" "-v --help" "-v -k -l60" "-v -k -f -l5 -v"; do
    # shellcheck disable=SC2086 # the arguments are words
    check "quorvane_unix $arguments" "" "" "${unprivileged[@]}" "$dir/quorvane_unix" $arguments
done

# Each refusal the kernel can give, faked.
faked=(env LD_PRELOAD="$dir/fake_parport.so")
program=("$dir/quorvane_unix" -v)
check "kernel without raw port access" 38 "$no_raw_io" \
    "${unprivileged[@]}" "${faked[@]}" QUORVANE_FAKE_PARPORT=ioperm-errno=38 "${program[@]}"
check "user without the right" 1 "$no_right" \
    "${unprivileged[@]}" "${faked[@]}" QUORVANE_FAKE_PARPORT=ioperm-errno=1 "${program[@]}"
check "no such port range" 22 "" \
    "${unprivileged[@]}" "${faked[@]}" QUORVANE_FAKE_PARPORT=ioperm-errno=22 "${program[@]}"
if [ "$(id -u)" -eq 0 ]; then
    # Root holds CAP_SYS_RAWIO: a refusal is the kernel's lockdown.
    check "root under lockdown" 1 "$lockdown" \
        "${faked[@]}" QUORVANE_FAKE_PARPORT=ioperm-errno=1 "${program[@]}"
else
    echo "skipped: the refusal under lockdown needs root (CAP_SYS_RAWIO)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
