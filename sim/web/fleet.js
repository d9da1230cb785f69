// The fleet's page: the cabinets, the air and the timeline from the fleet's
// event stream, commands (script steps) to /command (live.js). Plain script.
'use strict';

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function button(label, command) {
  const b = document.createElement('button');
  b.textContent = label;
  b.dataset.command = command;
  return b;
}

document.addEventListener('click', (e) => {
  if (e.target.dataset && e.target.dataset.command) send(e.target.dataset.command);
});

// Rows are made once per cabinet and only their texts change.
const rows = new Map();
function cabinetRow(name) {
  if (!rows.has(name)) {
    const row = $('cabinets').tBodies[0].insertRow();
    row.dataset.cabinet = name;
    const cells = {
      name: cell(row, name), power: cell(row, ''), state: cell(row, ''), report: cell(row, '', 'report'),
      heard: cell(row, ''),
    };
    const controls = row.insertCell();
    controls.append(button('power off', `@${name} power off`), button('power on', `@${name} power on`));
    rows.set(name, cells);
  }
  return rows.get(name);
}

let fobsShown = '';
let airShown = '';
function render(s) {
  $('time').textContent = `${s.t.toFixed(3)} s`;
  $('script').textContent = s.script;
  for (const c of s.cabinets) {
    const r = cabinetRow(c.name);
    r.power.textContent = c.powered ? 'on' : 'off';
    r.power.className = c.powered ? '' : 'off';
    r.state.textContent = c.powered ? c.state : '-';
    r.state.className = c.state;
    r.report.textContent = c.report || '-';
    r.heard.textContent = String(c.heard);
  }
  if (s.fobs.join(' ') !== fobsShown) {
    fobsShown = s.fobs.join(' ');
    $('fobs').replaceChildren(...s.fobs.map((f) => button(f, `fob ${f}`)));
  }
  const air = JSON.stringify(s.air);
  if (air !== airShown) {
    airShown = air;
    const body = $('air').tBodies[0];
    body.replaceChildren();
    for (const p of s.air.slice().reverse()) {
      const row = body.insertRow();
      cell(row, `${p.t.toFixed(3)} s`);
      cell(row, p.from);
      cell(row, p.what);
      const at = row.insertCell();
      for (const [who, outcome] of p.at) {
        const span = document.createElement('span');
        span.className = outcome.replace(/ /g, '-');
        span.textContent = `${who}: ${outcome} `;
        at.append(span);
      }
    }
  }
}

listen({ state: (data) => render(JSON.parse(data)) });
