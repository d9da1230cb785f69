// Runs the bench image's entry points on rp2040js and prints their cycles.
// node run.js [--json] <image.bin> check=<addr> oneshot=<addr> crc=<addr> verify=<addr> refill=<addr>
//   nothing=<addr>
const fs = require('fs');
const { RP2040 } = require('rp2040js');

const args = process.argv.slice(2);
const json = args[0] === '--json';
if (json) args.shift();
const [image, ...entries] = args;
const bytes = fs.readFileSync(image);
const cycles = {};
for (const entry of entries) {
    const [name, address] = entry.split('=');
    const mcu = new RP2040();
    mcu.sram.set(bytes, 0);
    let stopped = false;
    mcu.onBreak = () => { stopped = true; };
    mcu.core.SP = 0x20041000;
    mcu.core.PC = parseInt(address, 16) & ~1;
    const start = mcu.core.cycles;
    for (let n = 0; !stopped && n < 50000000; n++) mcu.core.executeInstruction();
    if (!stopped) throw new Error(`${name} did not finish`);
    cycles[name] = mcu.core.cycles - start;
}
const call = cycles.nothing;
const check = cycles.check - call;
const oneshot = cycles.oneshot - call;
const crc = cycles.crc - call;
const verify = cycles.verify - call;
const refill = cycles.refill - call;
const mhz = 132;
const byteUs = 1e6 / 960;  // one byte at 9600 baud, 10 bits
const share = (c) => 100 * c / mhz / byteUs;
if (json) {
    console.log(JSON.stringify({ radio_check_cycles: check, radio_check_oneshot_cycles: oneshot,
                                 settings_crc_copy_cycles: crc, settings_verify_cycles: verify,
                                 audio_refill_conversion_cycles: refill }));
    process.exit(0);
}
console.log(`message check: ${check} cycles = ${(check / mhz).toFixed(1)} us at ${mhz} MHz per received byte`);
console.log(`  share of the CPU for a saturated 9600-baud stream: ${share(check).toFixed(1)} %`);
console.log(`  with the one-shot keyed hash instead: ${oneshot} cycles, ${share(oneshot).toFixed(1)} %`);
console.log(`CRC-32 of one copy (4084 bytes): ${crc} cycles = ${(crc / mhz / 1000).toFixed(2)} ms`);
console.log(`  32 copies, as a full ring's scan: ${(32 * crc / mhz / 1000).toFixed(1)} ms`);
console.log(`verify of a saved sector (4096 bytes): ${verify} cycles = ${(verify / mhz / 1000).toFixed(2)} ms`);
console.log(`audio refill, conversion of 512 samples: ${refill} cycles = ${(refill / mhz).toFixed(1)} us`);
