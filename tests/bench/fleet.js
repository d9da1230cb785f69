// The fleet's figures, from orlix-fleet of the optimised build (build/run):
// its speed with 20 cabinets, the share of status broadcasts heard for 2 to 50
// cabinets (idle, with presses heard by all of them, restored together after
// a cut), and the in-step share over random scenarios (also with every cabinet
// cut and restored at once before the presses), each before the mends of the
// radio (every board on src/wireless.cpp of 9c3ad95), after, and mixed.
//   node tests/bench/fleet.js [--json] [--scenarios K]   (K default 1000; FLEET_SCENARIOS too)
// The random scenarios take a while: 1000 take 20 to 25 minutes on two cores.
const { execFileSync } = require('child_process');
const path = require('path');

const root = path.resolve(__dirname, '..', '..');
const tool = process.env.ORLIX_FLEET || path.join(root, 'build', 'run', 'sim', 'fleet', 'orlix-fleet');
const argv = process.argv.slice(2);
const at = argv.indexOf('--scenarios');
const scenarios = Number(at >= 0 ? argv[at + 1] : process.env.FLEET_SCENARIOS || 1000);
const SPEED_CABINETS = 20;

function fleet(args) {
    const out = execFileSync('nice', [tool, ...args, '--quiet'], { encoding: 'utf8', maxBuffer: 1 << 26 });
    return JSON.parse(out.trim().split('\n').pop());
}

const result = { speed: fleet(['--deliveries', String(SPEED_CABINETS), '--seconds', '120']), deliveries: [], in_step: {} };
for (const n of [2, 5, 10, 20, 50]) {
    for (const unmended of ['all', 'none']) {
        for (const how of [[], ['--presses'], ['--together']]) {
            result.deliveries.push(fleet(['--deliveries', String(n), '--seconds', '120', '--unmended', unmended, ...how]));
        }
    }
}
for (const [name, unmended] of [['before', 'all'], ['after', 'none'], ['mixed', 'half']]) {
    result.in_step[name] = fleet(['--measure', String(scenarios), '--seed', '1000', '--unmended', unmended]);
    // The same scenarios with every cabinet cut and restored at once before the presses.
    result.in_step[`${name}, restored together`] =
        fleet(['--measure', String(scenarios), '--seed', '1000', '--unmended', unmended, '--together']);
}

if (argv.includes('--json')) {
    console.log(JSON.stringify(result));
} else {
    const pct = (x) => `${(100 * x).toFixed(1)} %`;
    console.log(`${SPEED_CABINETS} cabinets: ${result.speed.speed.toFixed(1)}x real time`);
    for (const d of result.deliveries) {
        console.log(`${d.cabinets} cabinets${d.presses ? ', presses' : ''}${d.together ? ', restored together' : ''}, ` +
                    `${d.unmended === 'all' ? 'before' : 'after'}: ${pct(d.heard_share)} heard`);
    }
    for (const [name, m] of Object.entries(result.in_step)) {
        console.log(`in step, ${name}: ${m.out_of_step} of ${m.scenarios} out of step, agreed in ${m.agree_median_s} s ` +
                    `(median), ${m.agree_p95_s} s (95th percentile)`);
    }
}
