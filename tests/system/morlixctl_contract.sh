#!/bin/sh
# morlixctl as scripts rely on it.
# Usage: morlixctl_contract.sh MORLIXCTL SCRATCH-DIR (usage|device|other|terminal|help)
#   usage     a bad command line: one line on standard error naming the fault,
#             exit status 2, and nothing run (no start-up, no settings file)
#   device    the same for a bad --device, or an option of the other device
#   other     another console holds the settings file: status 3, nothing run
#   terminal  at a terminal a bad line is reported and the session goes on,
#             ending with status 0
#   help      --help lists the exit statuses
set -u
ctl=$1
dir=$2
fail() { echo "FAIL: $*"; exit 1; }

case $3 in
usage)
    rm -rf "$dir" && mkdir -p "$dir" || fail "cannot make $dir"
    # Each line: what must be named | the arguments. A good command goes
    # first, so that "nothing ran" covers commands before the bad one.
    while IFS='|' read -r named args; do
        # shellcheck disable=SC2086 # the arguments are words on purpose
        "$ctl" --trace --registry "$dir/settings" show $args >"$dir/out" 2>"$dir/err"
        status=$?
        [ "$status" -eq 2 ] || fail "$args: exit status $status, not 2"
        [ ! -s "$dir/out" ] || fail "$args: something ran: $(head -c 200 "$dir/out")"
        [ ! -e "$dir/settings" ] && [ ! -e "$dir/settings.lock" ] ||
            fail "$args: the settings file was touched"
        [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "$args: not one line: $(cat "$dir/err")"
        grep -qF -- "$named" "$dir/err" || fail "$args: \"$named\" not named: $(cat "$dir/err")"
    done <<'CASES'
"bogus"|type X 5 bogus coil
"Q"|type Q 5
"Hyper"|key X Hyper
"Nope"|click Nope
"Nope"|focus Nope
count "0"|tick 0
missing text|type X
expected [<box>] <key>|key
--frobnicate|--frobnicate
--serial|--serial lots
CASES
    ;;
device)
    rm -rf "$dir" && mkdir -p "$dir" || fail "cannot make $dir"
    while IFS='|' read -r named args; do
        # shellcheck disable=SC2086 # the arguments are words on purpose
        "$ctl" --trace --registry "$dir/settings" $args show >"$dir/out" 2>"$dir/err"
        status=$?
        [ "$status" -eq 2 ] || fail "$args: exit status $status, not 2"
        [ ! -s "$dir/out" ] || fail "$args: something ran: $(head -c 200 "$dir/out")"
        [ ! -e "$dir/settings" ] && [ ! -e "$dir/settings.lock" ] ||
            fail "$args: the settings file was touched"
        [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "$args: not one line: $(cat "$dir/err")"
        grep -qF -- "$named" "$dir/err" || fail "$args: \"$named\" not named: $(cat "$dir/err")"
    done <<'CASES'
"floppy"|--device floppy
"USB"|--device USB
--serial|--device usb --serial 5
--no-device|--no-device --device usb
--vendor|--vendor 1a2b
--product|--device usb --product 12345
--vendor|--device usb --vendor 0xG1
CASES
    ;;
other)
    rm -rf "$dir" && mkdir -p "$dir" || fail "cannot make $dir"
    # flock(1) holds the lock as a running console would.
    flock "$dir/settings.lock" "$ctl" --registry "$dir/settings" type X 5 show \
        >"$dir/out" 2>"$dir/err"
    status=$?
    [ "$status" -eq 3 ] || fail "exit status $status beside another console, not 3"
    [ ! -s "$dir/out" ] || fail "something ran: $(head -c 200 "$dir/out")"
    [ ! -e "$dir/settings" ] || fail "the settings file was written"
    grep -q "another console runs on .*settings" "$dir/err" || fail "not told: $(cat "$dir/err")"
    ;;
terminal)
    # script(1) gives morlixctl a terminal for standard input.
    out=$(printf 'bogus\nclick Max\nshow\nquit\n' | script -qec "\"$ctl\"" /dev/null)
    status=$?
    [ "$status" -eq 0 ] || fail "exit status $status at a terminal, not 0"
    echo "$out" | grep -q 'line 1: unknown command "bogus"' || fail "bad line not reported: $out"
    echo "$out" | grep -q 'lblAmpX "4095" black' || fail "the rest did not run: $out"
    ;;
help)
    out=$("$ctl" --help) || fail "--help failed"
    echo "$out" | grep -qF -- "--device bench|usb" || fail "--help does not name the devices"
    for status in 0 1 2 3; do
        echo "$out" | grep -q "^  $status  " || fail "--help does not list exit status $status"
    done
    ;;
*)
    fail "unknown case $3"
    ;;
esac
echo "ok"
