#!/usr/bin/env bash
# Runs the real program as a user without the right to the port, so that the access request is
# refused on any machine: it must print the three messages and the hint that fits the refusal,
# nothing else, and exit with 1, before it looks at its arguments. Never runs the program as root:
# it would drive real port lines.
#   refused_access.sh PATH/TO/quorvane_unix
set -uo pipefail

program=${1:?usage: refused_access.sh PATH/TO/quorvane_unix}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# The unprivileged user must reach the binary: the build tree may lie under a private home.
chmod 755 "$dir"
cp "$program" "$dir/quorvane_unix"
chmod 755 "$dir/quorvane_unix"
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
# The hint for each refusal an unprivileged user can meet.
declare -A hints=(
    [1]=$'\nRun as root, or give the program the right: setcap cap_sys_rawio+ep quorvane_unix'
    [38]=$'\nThis kernel has no raw port access: use quorvane_ppdev'
)
passed=0
failed=0

check() {
    "${unprivileged[@]}" "$dir/quorvane_unix" "$@" >"$dir/out" 2>"$dir/err" </dev/null
    local status=$?
    # Read the output whole, trailing newlines included.
    local out
    out=$(cat "$dir/out"; printf x)
    out=${out%x}
    local problems=()
    local error=none
    [[ $out =~ ^$'\n'errno=([0-9]+) ]] && error=${BASH_REMATCH[1]}
    [ "$out" = $'\n'"errno=$error$messages${hints[$error]-}" ] || problems+=("stdout was $(printf %q "$out")")
    [ "$status" -eq 1 ] || problems+=("exit status was $status")
    [ -s "$dir/err" ] && problems+=("stderr was $(printf %q "$(cat "$dir/err")")")
    if [ ${#problems[@]} -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL quorvane_unix $*: ${problems[*]}"
    fi
}

check
check --help
check /?
check -v --help
check -v -k -l60
check -v -k -f -l5 -v

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
