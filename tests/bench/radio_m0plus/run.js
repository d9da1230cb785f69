// Runs the bench image's entry points on rp2040js and prints their cycles.
// node run.js <image.bin> <entry_check> <entry_crc> <entry_nothing>
const fs = require('fs');
const { RP2040 } = require('rp2040js');

const [image, ...entries] = process.argv.slice(2);
const bytes = fs.readFileSync(image);
const names = ['check', 'crc', 'nothing'];
const cycles = {};
names.forEach((name, i) => {
    const mcu = new RP2040();
    mcu.sram.set(bytes, 0);
    let stopped = false;
    mcu.onBreak = () => { stopped = true; };
    mcu.core.SP = 0x20041000;
    mcu.core.PC = parseInt(entries[i], 16) & ~1;
    const start = mcu.core.cycles;
    for (let n = 0; !stopped && n < 50000000; n++) mcu.core.executeInstruction();
    if (!stopped) throw new Error(`${name} did not finish`);
    cycles[name] = mcu.core.cycles - start;
});
const call = cycles.nothing;
const check = cycles.check - call;
const crc = cycles.crc - call;
const mhz = 132;
const byteUs = 1e6 / 960;  // one byte at 9600 baud, 10 bits
console.log(`message check: ${check} cycles = ${(check / mhz).toFixed(1)} us at ${mhz} MHz per received byte`);
console.log(`  share of the CPU for a saturated 9600-baud stream: ${(100 * check / mhz / byteUs).toFixed(1)} %`);
console.log(`CRC-32 of one copy (4084 bytes): ${crc} cycles = ${(crc / mhz / 1000).toFixed(2)} ms`);
console.log(`  32 copies, as a full ring's scan: ${(32 * crc / mhz / 1000).toFixed(1)} ms`);
