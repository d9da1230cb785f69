// What the pages share: the event stream (/events) and its connection
// indicator, the log that keeps its last lines, and commands to /command,
// whose refusal is shown with its reason until the next one. Plain script.
'use strict';

const LOG_LINES = 400;

const $ = (id) => document.getElementById(id);

async function send(command) {
  const answer = await fetch('/command', { method: 'POST', body: command });
  $('refused').textContent = answer.ok ? '' : await answer.text();
}

function appendLog(lines) {
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  const kept = (log.textContent + lines.join('\n') + '\n').split('\n');
  log.textContent = kept.slice(Math.max(0, kept.length - 1 - LOG_LINES)).join('\n');
  if (atEnd) log.scrollTop = log.scrollHeight;
}

// Opens the event stream; `handlers` maps the name of an event to what takes its data.
function listen(handlers) {
  const events = new EventSource('/events');
  const showLink = (up) => {
    $('link').textContent = up ? 'connected' : 'not connected';
    $('link').className = up ? 'on' : 'off';
  };
  events.addEventListener('open', () => showLink(true));
  events.addEventListener('error', () => showLink(false));
  events.addEventListener('log', (e) => appendLog(JSON.parse(e.data)));
  for (const [name, take] of Object.entries(handlers)) events.addEventListener(name, (e) => take(e.data));
}
