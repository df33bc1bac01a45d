#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets:
# the layout, a consumer project using find_package(vx7), one using
# pkg-config, the channel-path links and the udev rule.
# Usage: install_layout.sh <build dir> <source dir>
set -euo pipefail
build=$1 src=$2
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
p=$t/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$p" >/dev/null

for f in bin/vx7_driver bin/vx7_driver_quiet bin/vx7ctl bin/vx7-link-channels \
         lib/libvx7.so.1 lib/libvx7.so lib/hidlink.o lib/mapfile.o \
         include/vx7/vx7.h include/vx7/vhid.h include/vx7/memfile.h \
         lib/pkgconfig/vx7.pc lib/cmake/vx7/vx7Config.cmake lib/cmake/vx7/vx7ConfigVersion.cmake \
         lib/udev/rules.d/70-vx7.rules share/vx7/vx7-driver.service; do
  [ -e "$p/$f" ] || fail "missing $f"
done
[ "$(readlink "$p/lib/libvx7.so")" = libvx7.so.1 ] || fail "libvx7.so does not link to libvx7.so.1"
if find "$p" -name '*vx7sim*' -o -name 'libusb*' | grep -q .; then
  fail "the simulator was installed: $(find "$p" -name '*vx7sim*' -o -name 'libusb*')"
fi

# The example unit names this installation's programs.
grep -qx "ExecStart=-$p/bin/vx7_driver start" "$p/share/vx7/vx7-driver.service" || fail "systemd unit ExecStart"
grep -qx "ExecStop=-$p/bin/vx7_driver stop" "$p/share/vx7/vx7-driver.service" || fail "systemd unit ExecStop"

# Consumers: find_package and pkg-config, both built against the installed tree.
cmake -S "$src/tests/packaging/consumer-cmake" -B "$t/consumer-cmake" -DCMAKE_PREFIX_PATH="$p" >/dev/null
cmake --build "$t/consumer-cmake" >/dev/null
"$t/consumer-cmake/consumer" | grep -qx "consumer ok" || fail "find_package consumer"

export PKG_CONFIG_PATH=$p/lib/pkgconfig
gcc -std=c11 -Wall -Werror $(pkg-config --cflags vx7) -o "$t/consumer-pc" \
    "$src/tests/packaging/consumer.c" $(pkg-config --libs vx7)
LD_LIBRARY_PATH=$p/lib "$t/consumer-pc" | grep -qx "consumer ok" || fail "pkg-config consumer"

# Channel-path links: made under a scratch root, twice, over a leftover file.
r=$t/root
mkdir -p "$r"
printf 'old' > "$r/adc2.adc"
"$p/bin/vx7-link-channels" --root "$r" >/dev/null
"$p/bin/vx7-link-channels" --root "$r" >/dev/null
for n in 1 2 3 4; do
  [ "$(readlink "$r/adc$n.adc")" = "/home/dev/vx7/adc$n.adc" ] || fail "link adc$n.adc"
done
[ -d "$r/home/dev/vx7" ] || fail "no /home/dev/vx7 under the root"
if "$p/bin/vx7-link-channels" --root "$t/missing" 2>/dev/null; then fail "missing root accepted"; fi

python3 "$src/tests/packaging/check_udev_rule.py" "$p/lib/udev/rules.d/70-vx7.rules"
echo "install layout ok"
