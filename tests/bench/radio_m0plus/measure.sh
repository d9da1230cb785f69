#!/usr/bin/env bash
# Cortex-M0+ cycles of the radio message check and the fob store's CRC: builds
# the firmware's sources for the board's processor (flags as the Release
# image) and runs them on the rp2040js emulator (npm; installed here into a
# scratch folder on first use).
#   tests/bench/radio_m0plus/measure.sh [work folder, default /tmp/orlix-radio-m0plus]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
work=${1:-/tmp/orlix-radio-m0plus}
mkdir -p "$work"
if [[ ! -d $work/node_modules/rp2040js ]]; then
    (cd "$work" && npm install --silent --no-audit --no-fund rp2040js@1.4.1 >/dev/null)
fi
flags=(-mcpu=cortex-m0plus -mthumb -O3 -DNDEBUG -ffunction-sections -fdata-sections -ffreestanding)
inc=(-I"$root/include" -I"$root/platform/host/include" -I"$root/deps/monocypher")
arm-none-eabi-gcc "${flags[@]}" -c "$root/deps/monocypher/monocypher.c" -o "$work/monocypher.o" -I"$root/deps/monocypher"
# -w: the host headers used for the declarations redefine a newlib macro.
arm-none-eabi-g++ "${flags[@]}" -w -std=c++17 -fno-exceptions -fno-rtti "${inc[@]}" -c "$root/src/settings.cpp" -o "$work/settings.o"
arm-none-eabi-g++ "${flags[@]}" -std=c++17 -fno-exceptions -fno-rtti "${inc[@]}" -c "$here/bench.cpp" -o "$work/bench.o"
# Only the measured functions are kept; what the rest of settings.cpp calls is never reached.
arm-none-eabi-g++ -mcpu=cortex-m0plus -mthumb -nostartfiles -nostdlib -Wl,--gc-sections -Wl,-e,entry_check \
    -Wl,--undefined=entry_crc -Wl,--undefined=entry_nothing -Wl,--unresolved-symbols=ignore-all \
    -T "$here/link.ld" "$work/bench.o" "$work/settings.o" "$work/monocypher.o" -lgcc -o "$work/bench.elf"
arm-none-eabi-objcopy -O binary "$work/bench.elf" "$work/bench.bin"
addr() { arm-none-eabi-nm "$work/bench.elf" | awk -v s="$1" '$3 == s { print $1 }'; }
NODE_PATH="$work/node_modules" node "$here/run.js" "$work/bench.bin" "$(addr entry_check)" "$(addr entry_crc)" "$(addr entry_nothing)"
