// The bench report: one table of the measured figures, each beside its limit
// or budget, from the virtual clock (the bench tests of the host build), from
// the firmware's sources on the emulated M0+ (radio_m0plus/measure.sh) and
// from the real image on the emulated M0+ (tests/emu/bench.js, when present).
//   node tests/bench/report.js [host build folder, default build/host]
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const root = path.resolve(__dirname, '..', '..');
const build = path.resolve(process.argv[2] || path.join(root, 'build', 'host'));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'orlix-bench-'));

const MHZ = 132;
const CYCLES_PER_RADIO_BYTE = MHZ * 1e6 / 960;      // 9600 baud, 10 bits a byte: 1.04 ms
const CYCLES_PER_AUDIO_BUFFER = MHZ * 1e6 * 0.032;  // 512 samples at 16 kHz
const CYCLES_AUDIO_FIFO = MHZ * 1e6 * 0.0005;       // the 0.5 ms of queued FIFO frames
const RADIO_FIFO_MS = 32 * 10 / 9600 * 1e3;         // 32 bytes at 9600 baud
const FIRST_REPORT_MS = 250;
const RELAY_TARGET_BPS = 64000;
const NOT_BUILT = 'n/a (emulator suite not built)';

// One bench test case's recorded properties, from GoogleTest's JSON output.
function gtestProperties(binary, filter) {
    const out = path.join(work, `${path.basename(binary)}.json`);
    try {
        execFileSync(path.join(build, 'tests', binary), [`--gtest_filter=${filter}`, `--gtest_output=json:${out}`],
                     { stdio: 'ignore' });
    } catch (e) {
        return { failed: true };
    }
    const cases = JSON.parse(fs.readFileSync(out, 'utf8')).testsuites.flatMap((s) => s.testsuite);
    return cases.length === 1 ? cases[0] : { failed: true };
}

function jsonOf(command, args) {
    try {
        const text = execFileSync(command, args, { cwd: root, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
        return JSON.parse(text.trim().split('\n').pop());
    } catch (e) {
        return null;
    }
}

const fmt = (n, digits = 0) => Number(n).toLocaleString('en-US', { minimumFractionDigits: digits,
                                                                    maximumFractionDigits: digits });
const share = (cycles, per) => `${fmt(100 * cycles / per, 1)} %`;
const ms = (cycles) => cycles / MHZ / 1000;

const relay = gtestProperties('fwupdate_bench_test', 'FwUpdateBench.TwoHundredKilobytesFromTheUsbHost');
const save = gtestProperties('radio_bench_test', 'RadioBench.SaveHolds*');
const stream = gtestProperties('radio_bench_test', 'RadioBench.ASaturatedStream*');
const boot = gtestProperties('boot_bench_test', '*PowerOnToTheFirstReport');
const m0 = jsonOf('bash', [path.join(__dirname, 'radio_m0plus', 'measure.sh'), '--json', path.join(work, 'm0plus')]);
const emuScript = path.join(root, 'tests', 'emu', 'bench.js');
const emu = fs.existsSync(emuScript) ? jsonOf('node', [emuScript, '--json']) : null;
const emuText = (f) => (fs.existsSync(emuScript) ? (emu ? f(emu) : 'n/a (emulator suite failed)') : NOT_BUILT);
const failed = (p) => (p.failed ? 'n/a (bench test failed)' : null);

// A budget exceeded is "OVER"; a throughput below its target is "MISSED".
const OVER = 'OVER';
const MISSED = 'MISSED';
const rows = [];
const row = (figure, virtual, m0plus, image, limit, within, short = OVER) =>
    rows.push([figure, virtual, m0plus, image, limit, within === undefined ? '' : within ? 'within' : short]);

// Relay over USB.
const limitBps = Number(relay.protocol_limit_bytes_per_second);
const relayBps = Number(relay.bytes_per_second);
row('relay over USB, 200 KB at 921600 baud',
    failed(relay) || `${fmt(relayBps)} B/s (${fmt(100 * relayBps / limitBps, 1)} % of the limit)`,
    '-',
    emuText((e) => `${fmt(e.relay_200k_Bps)} B/s (64 KB: ${fmt(e.relay_64k_Bps)} B/s)`),
    `protocol limit ~${fmt(relay.failed ? 67600 : limitBps)} B/s; target ${fmt(RELAY_TARGET_BPS)} B/s`,
    relay.failed ? undefined : relayBps >= RELAY_TARGET_BPS && (!emu || emu.relay_200k_Bps >= RELAY_TARGET_BPS),
    MISSED);

// Radio check.
const check = m0 && m0.radio_check_cycles;
row('radio check, cycles and CPU share at 9600 baud', '-',
    m0 ? `${fmt(check)} cycles, ${share(check, CYCLES_PER_RADIO_BYTE)} (one-shot hash: ${fmt(m0.radio_check_oneshot_cycles)})`
       : 'n/a (measure.sh failed)',
    emuText((e) => `${fmt(e.radio_check_cycles)} cycles, ${share(e.radio_check_cycles, CYCLES_PER_RADIO_BYTE)}`),
    `one byte every 1.04 ms (${fmt(CYCLES_PER_RADIO_BYTE)} cycles); target 18,000 cycles`,
    m0 ? check <= 18000 && (!emu || emu.radio_check_cycles <= 18000) : undefined);

// Audio refill.
const refill = m0 && m0.audio_refill_conversion_cycles;
row('audio refill interrupt, cycles and share', '-',
    m0 ? `${fmt(refill)} cycles (the conversion), ${share(refill, CYCLES_PER_AUDIO_BUFFER)}` : 'n/a (measure.sh failed)',
    emuText((e) => `${fmt(e.audio_refill_cycles)} cycles, ${share(e.audio_refill_cycles, CYCLES_PER_AUDIO_BUFFER)}`),
    `512 samples every 32 ms; the interrupt within 0.5 ms (${fmt(CYCLES_AUDIO_FIFO)} cycles)`,
    m0 ? refill <= CYCLES_AUDIO_FIFO && (!emu || emu.audio_refill_cycles <= CYCLES_AUDIO_FIFO) : undefined);

// A fob store save: the loop is held throughout. The store keeps where its newest copy lies; it
// used to find it again at every save with a CRC pass over each of the ring's 32 copies.
const SAVE_HOLD_BUDGET_MS = 65;
const flashMs = Number(save.interrupts_off_us) / 1000;
const scanMs = m0 ? ms(32 * m0.settings_crc_copy_cycles) : NaN;
const newCrcMs = m0 ? ms(m0.settings_crc_copy_cycles) : NaN;
const verifyMs = m0 ? ms(m0.settings_verify_cycles) : NaN;
const saveMs = newCrcMs + flashMs + verifyMs;
row('a fob store save, loop held: new copy\'s CRC, erase + program with interrupts off, verify',
    failed(save) || `erase + program ${fmt(flashMs, 1)} ms`,
    m0 ? `CRC ${fmt(newCrcMs, 1)} ms, verify ${fmt(verifyMs, 2)} ms; all ${fmt(saveMs, 1)} ms` +
         ` (with the former scan of a full ring, ${fmt(scanMs, 1)} ms more: ${fmt(scanMs + saveMs, 1)} ms)`
       : 'n/a (measure.sh failed)',
    emuText(() => '-'),
    `${SAVE_HOLD_BUDGET_MS} ms (the radio's bytes go on into a DMA ring meanwhile)`,
    Number.isNaN(saveMs) ? undefined : saveMs <= SAVE_HOLD_BUDGET_MS);

// Radio bytes lost while saves hold the loop.
row('radio bytes lost: 20 accepted presses back to back at 9600 baud',
    failed(stream) || `${stream.radio_bytes_lost} bytes lost; ${stream.presses_accepted_of_20} of 20 presses saved`,
    '-', emuText(() => '-'), `none (the UART's FIFO alone lasts ${fmt(RADIO_FIFO_MS, 0)} ms)`,
    stream.failed ? undefined : Number(stream.radio_bytes_lost) === 0);

// Start-up.
const firstMs = Number(boot.first_report_us) / 1000;
row('start-up to the first report', failed(boot) || `${fmt(firstMs, 1)} ms`, '-', emuText(() => '-'),
    `${FIRST_REPORT_MS} ms`, boot.failed ? undefined : firstMs <= FIRST_REPORT_MS);

// The fleet (orlix-fleet of the optimised build; FLEET_SCENARIOS random scenarios, default 1000;
// FLEET_PRESSES presses per fleet, FLEET_LARGE_SCENARIOS scenarios of 20 to 64 cabinets).
const fleetScript = path.join(__dirname, 'fleet.js');
const fleet = jsonOf('node', [fleetScript, '--json']);
const fleetText = (f) => (fleet ? f(fleet) : 'n/a (orlix-fleet not built or failed)');
row('fleet of 20 cabinets on one air, speed', fleetText((f) => `${fmt(f.speed.speed, 1)}x real time`), '-', '-',
    '2x real time', fleet ? fleet.speed.speed >= 2 : undefined, MISSED);
const heard = (n, key) => fleetText((f) => ['all', 'none'].map((u) => {
    const d = f.deliveries.find((x) => x.cabinets === n && x.unmended === u && (key ? x[key] : !x.presses && !x.together));
    return d ? `${fmt(100 * d.heard_share, 1)} %` : '-';
}).join(' -> '));
for (const n of [2, 5, 10, 20, 50]) {
    row(`status broadcasts heard, ${n} cabinets, before -> after the mends`, heard(n), '-', '-', '-');
    row(`  the same, a fob paired on all pressed every 20 s`, heard(n, 'presses'), '-', '-', '-');
    row(`  the same, all cut and restored together`, heard(n, 'together'), '-', '-', '-');
}
row(`fleet of 64 cabinets on one air, speed`, fleetText((f) => `${fmt(f.large_speed.speed, 1)}x real time`), '-', '-',
    '5x real time', fleet ? fleet.large_speed.speed >= 5 : undefined, MISSED);
const pressFigure = (n, layout, text) => fleetText((f) => ['before', 'after', 'mixed'].map((fw) => {
    const p = f.presses.find((x) => x.cabinets === n && x.layout === layout && x.firmware === fw);
    return p ? text(p) : '-';
}).join(' / '));
const secs = (x) => (x === null ? 'never' : `${fmt(x, 2)} s`);
for (const n of [2, 5, 10, 20, 50, 64]) {
    row(`fob presses heard by their cabinet, ${n} cabinets, before / after / mixed`,
        pressFigure(n, 'all', (p) => `${p.heard} of ${p.presses}`), '-', '-', '-');
    row(`  a lockdown to every cabinet, p95 / longest`, pressFigure(n, 'all', (p) => `${secs(p.reach_p95_s)}, ${secs(p.reach_max_s)}`),
        '-', '-', '-');
}
row('a lockdown from one end of a line of 8 to the other, p95', pressFigure(8, 'line', (p) => secs(p.far_p95_s)), '-', '-', '-');
row('a lockdown to every cabinet, two rooms of 20 joined by two, p95',
    pressFigure(40, '2 rooms joined by 2', (p) => secs(p.reach_p95_s)), '-', '-', '-');
for (const n of [2, 10, 50]) {
    row(`air busy, ${n} idle cabinets, before -> after the mends`, fleetText((f) => ['all', 'none'].map((u) => {
        const d = f.deliveries.find((x) => x.cabinets === n && x.unmended === u && !x.presses && !x.together);
        return d ? `${fmt(100 * d.busy_share, 1)} %` : '-';
    }).join(' -> ')), '-', '-', '-');
}
row('random scenarios of 20 to 64 cabinets out of step, before / after / mixed',
    fleetText((f) => ['before', 'after', 'mixed'].map((fw) => `${f.large_in_step[fw].out_of_step} of ${f.large_in_step[fw].scenarios}`)
        .join(' / ')), '-', '-', '-');
for (const name of ['before', 'after', 'mixed'].flatMap((n) => [n, `${n}, restored together`])) {
    row(`in step 12 s after the last press, random scenarios, ${name}`,
        fleetText((f) => `${f.in_step[name].scenarios - f.in_step[name].out_of_step} of ${f.in_step[name].scenarios}; ` +
                         `agreed in ${fmt(f.in_step[name].agree_median_s, 2)} s median, ${fmt(f.in_step[name].agree_p95_s, 2)} s p95`),
        '-', '-', 'all in step', fleet && !name.startsWith('before') ? fleet.in_step[name].out_of_step === 0 : undefined, MISSED);
}

const head = ['figure', 'virtual clock', 'M0+, firmware sources (rp2040js)', 'real image, emulated M0+',
              'limit or budget', ''];
const widths = head.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
const line = (cells) => `| ${cells.map((c, i) => c.padEnd(widths[i])).join(' | ')} |`;
console.log(line(head));
console.log(`|${widths.map((w) => '-'.repeat(w + 2)).join('|')}|`);
rows.forEach((r) => console.log(line(r)));
fs.rmSync(work, { recursive: true, force: true });
