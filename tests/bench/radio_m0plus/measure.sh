#!/usr/bin/env bash
# Cortex-M0+ cycles of the radio message check, the fob store's CRC and
# verify, and the audio refill's conversion: builds the firmware's sources for
# the board's processor (flags as the Release image) and runs them on the
# rp2040js emulator of the repository's node_modules. The audio module needs
# the PIO program's header that a build generated (build/host or build/board).
#   tests/bench/radio_m0plus/measure.sh [--json] [work folder, default /tmp/orlix-radio-m0plus]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
json=()
if [[ ${1:-} == --json ]]; then json=(--json); shift; fi
work=${1:-/tmp/orlix-radio-m0plus}
mkdir -p "$work"
# The key's value does not change the cycles: the bench keys the check itself.
printf '#pragma once\n#define WIRELESS_SHARED_SECRET_BYTES %s\n#define WIRELESS_MODULE_CRYPT_BYTES 0, 0, 0\n#define WIRELESS_KEYS_DEVELOPMENT 1\n#define WIRELESS_KEYS_FEATURE "bench"\n' \
    "$(seq -s ', ' 1 32)" >"$work/wireless_keys.h"
flags=(-mcpu=cortex-m0plus -mthumb -O3 -DNDEBUG -ffunction-sections -fdata-sections -ffreestanding)
pio=$(ls -d "$root"/build/host/generated/pio "$root"/build/board/generated/pio 2>/dev/null | head -1)
if [[ -z $pio ]]; then echo "measure.sh: no generated PIO header; run make host first" >&2; exit 1; fi
inc=(-I"$root/include" -I"$root/src" -I"$root/platform/host/include" -I"$root/deps/monocypher" -I"$work" -I"$pio")
arm-none-eabi-gcc "${flags[@]}" -c "$root/deps/monocypher/monocypher.c" -o "$work/monocypher.o" -I"$root/deps/monocypher"
# -w: the host headers used for the declarations redefine a newlib macro.
for module in settings wireless audio; do
    arm-none-eabi-g++ "${flags[@]}" -w -std=c++17 -fno-exceptions -fno-rtti "${inc[@]}" \
        -c "$root/src/$module.cpp" -o "$work/$module.o"
done
arm-none-eabi-g++ "${flags[@]}" -std=c++17 -fno-exceptions -fno-rtti "${inc[@]}" -c "$here/bench.cpp" -o "$work/bench.o"
# Only the measured functions are kept; what the rest of the modules calls is never reached.
arm-none-eabi-g++ -mcpu=cortex-m0plus -mthumb -nostartfiles -nostdlib -Wl,--gc-sections -Wl,-e,entry_check \
    -Wl,--undefined=entry_oneshot -Wl,--undefined=entry_crc -Wl,--undefined=entry_verify \
    -Wl,--undefined=entry_refill -Wl,--undefined=entry_nothing \
    -Wl,--unresolved-symbols=ignore-all -T "$here/link.ld" \
    "$work/bench.o" "$work/settings.o" "$work/wireless.o" "$work/audio.o" "$work/monocypher.o" -lc -lgcc \
    -o "$work/bench.elf"
arm-none-eabi-objcopy -O binary "$work/bench.elf" "$work/bench.bin"
addr() { arm-none-eabi-nm "$work/bench.elf" | awk -v s="entry_$1" '$3 == s { print $1 }'; }
NODE_PATH="$root/node_modules" node "$here/run.js" "${json[@]}" "$work/bench.bin" \
    "check=$(addr check)" "oneshot=$(addr oneshot)" "crc=$(addr crc)" "verify=$(addr verify)" \
    "refill=$(addr refill)" "nothing=$(addr nothing)"
