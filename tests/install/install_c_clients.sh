#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two C programs with
# gcc against the installed headers and object modules:
#   hidlink.o + -lusb (nothing else), run against the simulated device
#   mapfile.o alone
# Usage: install_c_clients.sh <build dir> <source dir> <stand-in libusb dir> <sim tool>
set -euo pipefail
build=$1 src=$2 libusb_dir=$3 simtool=$4
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
p=$t/prefix

cmake --install "$build" --prefix "$p" >/dev/null
for f in lib/hidlink.o lib/mapfile.o include/vx7/vhid.h include/vx7/memfile.h; do
  [ -f "$p/$f" ] || { echo "missing $p/$f"; exit 1; }
done

cc=(gcc -std=c11 -Wall -Wextra -Werror -I "$p/include")
"${cc[@]}" -DWITH_TRANSPORT -o "$t/use_transport" "$src/tests/install/use_objects.c" "$p/lib/hidlink.o" -lusb
"${cc[@]}" -DWITH_VALUE_FILE -o "$t/use_value_file" "$src/tests/install/use_objects.c" "$p/lib/mapfile.o"

# Needed libraries: libusb and libc for the transport, libc alone otherwise.
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' '; }
[ "$(needed "$t/use_transport")" = "libc.so.6 libusb-0.1.so.4 " ] || { echo "transport client needs: $(needed "$t/use_transport")"; exit 1; }
[ "$(needed "$t/use_value_file")" = "libc.so.6 " ] || { echo "value-file client needs: $(needed "$t/use_value_file")"; exit 1; }

"$t/use_value_file" "$t/value.adc"

export VX7SIM_STATE=$t/device.state
"$simtool" create >/dev/null
LD_LIBRARY_PATH=$libusb_dir "$t/use_transport" "$t/unused"
