#!/bin/sh
# Runs a command (a program under Wine) and passes on what it printed and its exit status. A run
# that printed nothing at all is run once more: Wine has been seen to end a program that was just
# starting within 10 ms, without a line of output, while other Wine programs came and went. Both
# programs this wraps always print something, so a run that printed anything, right or wrong,
# stands as it is.
# Usage: once_more_if_silent.sh COMMAND [ARGUMENT...]
out=$("$@" 2>&1)
status=$?
if [ -z "$out" ]; then
    echo "once_more_if_silent: the command printed nothing (exit status $status); once more" >&2
    out=$("$@" 2>&1)
    status=$?
fi
printf '%s\n' "$out"
exit "$status"
