// The virtual cabinet's page: state, log and sound from the board's event
// stream, commands to /command (live.js). Plain script, no build step.
'use strict';

const PIXELS = 200;
const SAMPLE_RATE = 16000;
const FOB_STATES = { OOO: 'none', FLO: 'LOCKDOWN', FUN: 'UNLOCK' };
const CLIPS = ['cabinet is unlocked', 'holding message', 'lockdown', 'please close'];

function makeStrip(id) {
  const strip = $(id);
  const pixels = [];
  for (let i = 0; i < PIXELS; i++) {
    const px = document.createElement('div');
    px.className = 'px';
    strip.appendChild(px);
    pixels.push(px);
  }
  return { pixels, shown: '' };
}
const strips = [makeStrip('strip1'), makeStrip('strip2')];

function drawStrip(strip, hex) {
  if (hex === strip.shown) return;
  for (let i = 0; i < PIXELS; i++) {
    const rgb = hex.substr(i * 6, 6);
    if (strip.shown.substr(i * 6, 6) !== rgb) strip.pixels[i].style.backgroundColor = '#' + rgb;
  }
  strip.shown = hex;
}

// What the clip field of the payload names (positions 6 to 8).
function clipOf(payload) {
  const m = /^P([OL])([1-4])$/.exec(payload.substr(6, 3));
  if (!m) return '';
  return `clip ${m[2]} (${CLIPS[m[2] - 1]}) ${m[1] === 'O' ? 'once' : 'in a loop'}, volume ${parseInt(payload.substr(10, 3), 10)}`;
}

function setText(id, text, alert) {
  const el = $(id);
  el.textContent = text;
  el.classList.toggle('alert', !!alert);
}

let updates = 0;
function render(s) {
  updates++;
  setText('board', s.board || 'firmware running', !!s.board);
  drawStrip(strips[0], s.strips[0]);
  drawStrip(strips[1], s.strips[1]);
  setText('door', s.door, s.door === 'open');
  setText('maglock', s.maglock, s.maglock === 'released');
  setText('amplifier', s.amplifier ? 'on, ' + (clipOf(s.payload) || 'playing') : 'off', s.amplifier);
  setText('report', s.report || '-');
  setText('payload', s.payload || '-');
  if (s.report) {
    const fob = FOB_STATES[s.report.substr(3, 3)] || '?';
    setText('fob', fob, fob !== 'none');
    setText('paired', String(parseInt(s.report.substr(7, 2), 16)));
  }
}

// Sound: the board's I2S samples (16-bit, 16 kHz, little-endian, base64),
// queued back to back on a Web Audio context once the user turns it on.
let audio = null;
let playAt = 0;
let received = 0;
function play(b64) {
  const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
  const samples = new Int16Array(bytes.buffer, 0, bytes.length >> 1);
  received += samples.length;
  $('heard').textContent = `${(received / SAMPLE_RATE).toFixed(1)} s received`;
  if (!audio) return;
  const buffer = audio.createBuffer(1, samples.length, SAMPLE_RATE);
  const data = buffer.getChannelData(0);
  for (let i = 0; i < samples.length; i++) data[i] = samples[i] / 32768;
  const source = audio.createBufferSource();
  source.buffer = buffer;
  source.connect(audio.destination);
  playAt = Math.max(playAt, audio.currentTime + 0.05);
  source.start(playAt);
  playAt += buffer.duration;
}
$('sound').addEventListener('click', () => {
  if (audio) {
    audio.close();
    audio = null;
    $('sound').textContent = 'sound on';
  } else {
    audio = new AudioContext();
    playAt = 0;
    $('sound').textContent = 'sound off';
  }
});

for (const button of document.querySelectorAll('button[data-command]')) {
  button.addEventListener('click', () => send(button.dataset.command));
}
$('peer-send').addEventListener('click', () => send(`peer ${$('peer-state').value} ${$('peer-age').value || 0}`));
$('payload-form').addEventListener('submit', (e) => {
  e.preventDefault();
  send('send ' + $('payload-text').value);
});

listen({ state: (data) => render(JSON.parse(data)), audio: play });

// The update rate, measured here as the page receives them.
let lastCount = 0;
setInterval(() => {
  $('rate').textContent = `${updates - lastCount} updates/s`;
  lastCount = updates;
}, 1000);
