// The fleet's figures, from orlix-fleet of the optimised build (build/run):
// its speed with 20 cabinets, the share of status broadcasts heard for 2 to 50
// cabinets (idle, with presses heard by all of them, restored together after
// a cut), and the in-step share over random scenarios (also with every cabinet
// cut and restored at once before the presses), each before the mends of the
// radio (every board on src/wireless.cpp of 9c3ad95), after, and mixed. At a
// building's size: its speed with 64 cabinets, the share of a fob's presses
// its cabinet heard and the time a lockdown takes to reach every cabinet (2 to
// 64 cabinets, a line of 8, two rooms of 20 joined by two), the air's busy
// share, and random scenarios of 20 to 64 cabinets; every board's crystal
// drifts within 30 ppm.
//   node tests/bench/fleet.js [--json] [--scenarios K]   (K default 1000; FLEET_SCENARIOS too)
// FLEET_PRESSES (default 11) presses per fleet, FLEET_LARGE_SCENARIOS (default 5)
// random scenarios of 20 to 64 cabinets per firmware.
// The random scenarios take a while: 1000 take 20 to 25 minutes on two cores.
const { execFileSync } = require('child_process');
const path = require('path');

const root = path.resolve(__dirname, '..', '..');
const tool = process.env.ORLIX_FLEET || path.join(root, 'build', 'run', 'sim', 'fleet', 'orlix-fleet');
const argv = process.argv.slice(2);
const at = argv.indexOf('--scenarios');
const scenarios = Number(at >= 0 ? argv[at + 1] : process.env.FLEET_SCENARIOS || 1000);
const SPEED_CABINETS = 20;
const LARGE_SPEED_CABINETS = 64;
const presses = Number(process.env.FLEET_PRESSES || 11);
const largeScenarios = Number(process.env.FLEET_LARGE_SCENARIOS || 5);
const FIRMWARES = [['before', 'all'], ['after', 'none'], ['mixed', 'half']];

function fleet(args) {
    const out = execFileSync('nice', [tool, ...args, '--quiet'], { encoding: 'utf8', maxBuffer: 1 << 26 });
    return JSON.parse(out.trim().split('\n').pop());
}

const result = {
    speed: fleet(['--deliveries', String(SPEED_CABINETS), '--seconds', '120']),
    large_speed: fleet(['--deliveries', String(LARGE_SPEED_CABINETS), '--seconds', '60']),
    deliveries: [], in_step: {}, presses: [], large_in_step: {},
};
for (const n of [2, 5, 10, 20, 50]) {
    for (const unmended of ['all', 'none']) {
        for (const how of [[], ['--presses'], ['--together']]) {
            result.deliveries.push(fleet(['--deliveries', String(n), '--seconds', '120', '--unmended', unmended, ...how]));
        }
    }
}
for (const [name, unmended] of FIRMWARES) {
    const heard = (n, layout) => {
        const r = fleet(['--presses-heard', String(n), '--press-count', String(presses), '--unmended', unmended, ...layout]);
        result.presses.push({ firmware: name, ...r });
    };
    for (const n of [2, 5, 10, 20, 50, 64]) heard(n, []);
    heard(8, ['--line']);
    heard(40, ['--rooms', '2', '--joined-by', '2']);
    result.large_in_step[name] = fleet(['--measure', String(largeScenarios), '--seed', '1000', '--cabinets-range', '20-64',
                                        '--unmended', unmended]);
}
for (const [name, unmended] of FIRMWARES) {
    result.in_step[name] = fleet(['--measure', String(scenarios), '--seed', '1000', '--unmended', unmended]);
    // The same scenarios with every cabinet cut and restored at once before the presses.
    result.in_step[`${name}, restored together`] =
        fleet(['--measure', String(scenarios), '--seed', '1000', '--unmended', unmended, '--together']);
}

if (argv.includes('--json')) {
    console.log(JSON.stringify(result));
} else {
    const pct = (x) => `${(100 * x).toFixed(1)} %`;
    const s = (x) => (x === null ? 'never' : `${x.toFixed(2)} s`);
    console.log(`${SPEED_CABINETS} cabinets: ${result.speed.speed.toFixed(1)}x real time`);
    console.log(`${LARGE_SPEED_CABINETS} cabinets: ${result.large_speed.speed.toFixed(1)}x real time`);
    for (const d of result.deliveries) {
        console.log(`${d.cabinets} cabinets${d.presses ? ', presses' : ''}${d.together ? ', restored together' : ''}, ` +
                    `${d.unmended === 'all' ? 'before' : 'after'}: ${pct(d.heard_share)} heard, air busy ${pct(d.busy_share)}`);
    }
    for (const p of result.presses) {
        console.log(`${p.cabinets} cabinets (${p.layout}), ${p.firmware}: ${p.heard} of ${p.presses} presses heard; ` +
                    `a lockdown reached every cabinet in ${s(p.reach_p50_s)} median, ${s(p.reach_p95_s)} p95, ` +
                    `${s(p.reach_max_s)} longest (never: ${p.reach_never} of ${p.lockdowns}); the last cabinet in ${s(p.far_p95_s)} p95`);
    }
    for (const [name, m] of Object.entries(result.large_in_step)) {
        console.log(`in step, 20 to 64 cabinets, ${name}: ${m.out_of_step} of ${m.scenarios} out of step`);
    }
    for (const [name, m] of Object.entries(result.in_step)) {
        console.log(`in step, ${name}: ${m.out_of_step} of ${m.scenarios} out of step, agreed in ${m.agree_median_s} s ` +
                    `(median), ${m.agree_p95_s} s (95th percentile)`);
    }
}
