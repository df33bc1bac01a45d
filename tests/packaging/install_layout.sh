#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets:
# the layout, consumer projects using find_package(vx7) and pkg-config (for
# libvx7 and for the sample stream), the Python module found without
# PYTHONPATH, the channel-path links and the udev rule.
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
         lib/libvx7stream.so.1 lib/libvx7stream.so include/vx7/stream.h lib/pkgconfig/vx7stream.pc \
         share/vx7/python/vx7.py \
         include/vx7/vx7.h include/vx7/vhid.h include/vx7/memfile.h \
         lib/pkgconfig/vx7.pc lib/cmake/vx7/vx7Config.cmake lib/cmake/vx7/vx7ConfigVersion.cmake \
         lib/udev/rules.d/70-vx7.rules share/vx7/vx7-driver.service; do
  [ -e "$p/$f" ] || fail "missing $f"
done
[ "$(readlink "$p/lib/libvx7.so")" = libvx7.so.1 ] || fail "libvx7.so does not link to libvx7.so.1"
[ "$(readlink "$p/lib/libvx7stream.so")" = libvx7stream.so.1 ] || fail "libvx7stream.so does not link to libvx7stream.so.1"
if find "$p" -name '*vx7sim*' -o -name 'libusb*' | grep -q .; then
  fail "the simulator was installed: $(find "$p" -name '*vx7sim*' -o -name 'libusb*')"
fi

# The example unit names this installation's programs.
grep -qx "ExecStart=-$p/bin/vx7_driver start" "$p/share/vx7/vx7-driver.service" || fail "systemd unit ExecStart"
grep -qx "ExecStop=-$p/bin/vx7_driver stop" "$p/share/vx7/vx7-driver.service" || fail "systemd unit ExecStop"

# Consumers: find_package and pkg-config, both built against the installed tree.
# The stream's consumers read one record from a channel file made here.
mkdir "$t/channels"
{ printf '1.25000000000e+00\t7\t\0'; printf '%79s' ''; } > "$t/channels/adc2.adc"
[ "$(stat -c %s "$t/channels/adc2.adc")" = 100 ] || fail "test channel file"
cmake -S "$src/tests/packaging/consumer-cmake" -B "$t/consumer-cmake" -DCMAKE_PREFIX_PATH="$p" >/dev/null
cmake --build "$t/consumer-cmake" >/dev/null
"$t/consumer-cmake/consumer" | grep -qx "consumer ok" || fail "find_package consumer"
"$t/consumer-cmake/stream_consumer" "$t/channels" | grep -qx "stream consumer ok" || fail "find_package stream consumer"

export PKG_CONFIG_PATH=$p/lib/pkgconfig
gcc -std=c11 -Wall -Werror $(pkg-config --cflags vx7) -o "$t/consumer-pc" \
    "$src/tests/packaging/consumer.c" $(pkg-config --libs vx7)
LD_LIBRARY_PATH=$p/lib "$t/consumer-pc" | grep -qx "consumer ok" || fail "pkg-config consumer"
gcc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags vx7stream) -o "$t/stream-consumer-pc" \
    "$src/tests/packaging/stream_consumer.c" $(pkg-config --libs vx7stream)
LD_LIBRARY_PATH=$p/lib "$t/stream-consumer-pc" "$t/channels" | grep -qx "stream consumer ok" || fail "pkg-config stream consumer"

# The stream library: its own calls only, libc only.
needed=$(readelf -d "$p/lib/libvx7stream.so.1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "libvx7stream needs: $needed"
readelf -d "$p/lib/libvx7stream.so.1" | grep -q 'Library soname: \[libvx7stream.so.1\]' || fail "libvx7stream soname"
exports=$(nm -D --defined-only "$p/lib/libvx7stream.so.1" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$exports" = "vx7_stream_channel_state vx7_stream_close vx7_stream_late_polls vx7_stream_lost vx7_stream_next vx7_stream_open vx7_stream_strerror vx7_stream_version " ] \
  || fail "libvx7stream exports: $exports"

# The Python module as the system's python3 finds it with this installation
# at /usr/local (on its default path), without PYTHONPATH: it loads both
# libraries of the installation and reads the channel file.
if [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import sys; sys.exit(not any(p.startswith("/usr/local/lib/python3") for p in sys.path))'; then
  out=$(env -u PYTHONPATH bwrap --ro-bind / / --dev /dev --proc /proc --tmpfs /tmp --ro-bind "$p" /usr/local \
          --ro-bind "$t/channels" /tmp/channels --unsetenv VX7_LIBRARY --unsetenv VX7_STREAM_LIBRARY \
          /usr/bin/python3 -c 'import vx7; print(vx7.__file__); print([(s.channel, s.text) for s in vx7.samples(dir="/tmp/channels", timeout=0.2)])')
  [ "$(echo "$out" | tail -1)" = "[(2, '1.25000000000e+00')]" ] || fail "python3 -c 'import vx7' at /usr/local: $out"
  echo "$out" | head -1 | grep -q '^/usr/local/lib/python3[.0-9]*/\(dist\|site\)-packages/vx7.py$' || fail "vx7 imported from $(echo "$out" | head -1)"
fi

# One version everywhere it is shown: the CMake package, both pkg-config
# files, vx7ctl --version and each installed copy of the Python module.
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$p/lib/cmake/vx7/vx7ConfigVersion.cmake")
echo "$version" | grep -Eqx '[0-9]+\.[0-9]+\.[0-9]+' || fail "vx7ConfigVersion.cmake version '$version'"
for shown in "$(pkg-config --modversion vx7)" "$(pkg-config --modversion vx7stream)" \
             "$("$p/bin/vx7ctl" --version | sed -n 's/^vx7ctl //p')" \
             $(find "$p" -name vx7.py -exec sh -c 'PYTHONPATH=${1%/vx7.py} /usr/bin/python3 -c "import vx7; print(vx7.__version__ or None)"' sh {} \;); do
  [ "$shown" = "$version" ] || fail "version '$shown' where the CMake package says '$version'"
done

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
