#!/bin/sh
# Checks a kernel driver image: native subsystem, and imports only from the kernel, the HAL
# and the USB bus library. Usage: check_sys.sh Norvask.sys
set -eu

image=${1:?usage: check_sys.sh <driver.sys>}
[ -f "$image" ] || { echo "check_sys: no such file: $image" >&2; exit 2; }

objdump=
for tool in x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
    if command -v "$tool" >/dev/null 2>&1; then
        objdump=$tool
        break
    fi
done
[ -n "$objdump" ] || { echo "check_sys: no objdump found" >&2; exit 2; }

headers=$("$objdump" -p "$image")

subsystem=$(printf '%s\n' "$headers" | awk '$1 == "Subsystem" { print $2 }')
if [ "$subsystem" != "00000001" ]; then
    echo "check_sys: $image: subsystem is '$subsystem', want 00000001 (native)" >&2
    exit 1
fi

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print $3 }' | sort -u)
if [ -z "$dlls" ]; then
    echo "check_sys: $image: no imports found" >&2
    exit 1
fi
status=0
for dll in $dlls; do
    case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
    ntoskrnl.exe | hal.dll | usbd.sys) ;;
    *)
        echo "check_sys: $image: imports from $dll" >&2
        status=1
        ;;
    esac
done
[ "$status" -eq 0 ] && echo "check_sys: $image: native, imports $(echo $dlls | tr '\n' ' ')"
exit "$status"
