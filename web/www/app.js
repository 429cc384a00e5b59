// dio-webd's page: the board's front, live from the event stream. A click
// on an output or LED asks dio-webd to switch it; what the page shows comes
// from the board's events only, never from the click itself.
'use strict';

const GROUPS = [
  { list: 'inputs', direction: 'input', prefix: 'DI', first: 0, last: 7 },
  { list: 'outputs', direction: 'output', prefix: 'DO', first: 0, last: 7 },
  { list: 'leds', direction: 'led', prefix: 'LED', first: 1, last: 3 },
];
const TOKEN_KEY = 'dio-webd-token';
const STREAM_RETRY_MS = 1000;
const FIRST_ASK = "Switching outputs and LEDs needs dio-webd's token. It is kept in this tab only.";
const ASK_AGAIN = 'dio-webd refused that token: give it again.';

const lines = new Map();    // name → the line's last JSON (web/line_json.h)
const faces = new Map();    // name → its element on the page
const outages = new Map();  // 'server' | 'board' → what the banner says
const writing = new Set();  // names with a write waiting for its answer
let tokenAnswer = null;     // resolves the open token dialog's promise

// ---- The board's front ----------------------------------------------------

function namesOf(group) {
  const names = [];
  for (let n = group.first; n <= group.last; n++) names.push(group.prefix + n);
  return names;
}

function buildBoard() {
  for (const group of GROUPS) {
    const list = document.getElementById(group.list);
    for (const name of namesOf(group)) {
      lines.set(name, { name, direction: group.direction, level: null });
      const item = document.createElement('li');
      item.append(buildFace(name, group.direction));
      list.append(item);
    }
  }
}

function buildFace(name, direction) {
  const isInput = direction === 'input';
  const face = document.createElement(isInput ? 'div' : 'button');
  face.className = `line ${direction}`;
  face.dataset.line = name;
  if (isInput) {
    face.setAttribute('role', 'group');
  } else {
    face.type = 'button';
    face.addEventListener('click', () => switchLine(name));
  }
  face.append(part('lamp'), part('name', name), part('word'), part('note'));
  faces.set(name, face);
  return face;
}

// A piece of a line's face; its label says the same for screen readers.
function part(className, text = '') {
  const span = document.createElement('span');
  span.className = className;
  span.textContent = text;
  span.setAttribute('aria-hidden', 'true');
  return span;
}

function levelWord(line) {
  if (line.level !== 0 && line.level !== 1) return 'unknown';
  return line.level ? 'on' : 'off';
}

function paintLine(name) {
  const line = lines.get(name);
  const face = faces.get(name);
  const word = levelWord(line);
  face.classList.toggle('lit', line.level === 1);
  face.classList.toggle('unknown', word === 'unknown');
  face.querySelector('.word').textContent = word;
  if (line.direction === 'input') paintInput(face, line, word);
  else paintSwitch(face, line, word);
}

function paintAll() {
  for (const name of lines.keys()) paintLine(name);
}

function paintInput(face, line, word) {
  const figures = figuresText(line.functions);
  face.querySelector('.note').textContent = figures;
  face.setAttribute('aria-label', [line.name, word, figures].filter(Boolean).join(', '));
}

// "12 rising · 2.500 Hz"; nothing before the first snapshot; null when
// nobody keeps them (a board opened directly).
function figuresText(functions) {
  if (functions === undefined) return '';
  if (functions === null) return 'not counted';
  return `${functions.count} rising · ${Number(functions.frequency_hz).toFixed(3)} Hz`;
}

function paintSwitch(face, line, word) {
  const hold = holdText(line);
  const busy = writing.has(line.name);
  face.classList.toggle('held', Boolean(line.claim));
  face.classList.toggle('pulsing', Boolean(line.pulsing));
  face.querySelector('.note').textContent = hold;
  face.disabled = Boolean(hold) || busy || word === 'unknown' || outages.size > 0;
  face.setAttribute('aria-pressed', String(line.level === 1));
  face.setAttribute('aria-busy', String(busy));
  const action = line.level === 1 ? 'switch off' : 'switch on';
  face.setAttribute('aria-label', `${line.name}, ${word}, ${hold || action}`);
}

function holdText(line) {
  if (line.pulsing) return 'pulsing';
  if (line.claim) return `held by ${line.claim.consumer}`;
  return '';
}

// ---- The banner, the message and the header's line ------------------------

function setOutage(kind, text) {
  outages.set(kind, text);
  showOutages();
}

function clearOutage(kind) {
  if (outages.delete(kind)) showOutages();
}

// dio-webd's own absence says more than the board's, which it reports.
function showOutages() {
  const banner = document.getElementById('banner');
  const text = outages.get('server') || outages.get('board') || '';
  banner.textContent = text;
  banner.hidden = !text;
  document.body.classList.toggle('out-of-reach', Boolean(text));
  paintAll();
}

function say(text) {
  document.getElementById('message').textContent = text;
}

function showLinkState(text) {
  document.getElementById('link-state').textContent = text;
}

// ---- The event stream ----------------------------------------------------

function openStream() {
  const stream = new EventSource('/api/v1/events');
  stream.addEventListener('open', () => clearOutage('server'));
  stream.addEventListener('error', () => onStreamError(stream));
  listen(stream, 'snapshot', onSnapshot);
  listen(stream, 'line', onLine);
  listen(stream, 'board', onBoard);
  listen(stream, 'figures', onFigures);
  listen(stream, 'claims', onClaims);
}

function listen(stream, type, handler) {
  stream.addEventListener(type, (event) => handler(JSON.parse(event.data)));
}

// The browser reconnects by itself after a lost connection; after a refusal
// (an error status) it gives up, and the page opens a new stream.
function onStreamError(stream) {
  setOutage('server', 'dio-webd is out of reach: the page shows the board as last seen ' +
                      'and connects again by itself.');
  showLinkState('connecting…');
  if (stream.readyState === EventSource.CLOSED) setTimeout(openStream, STREAM_RETRY_MS);
}

function onSnapshot(board) {
  for (const line of board.lines || []) lines.set(line.name, line);
  // A board out of reach has no through_service: onBoard says it is lost.
  if (board.connected)
    showLinkState(board.through_service ? 'live, through the board service'
                                        : 'live, board opened directly');
  onBoard(board);  // paints everything through the banner
}

function onBoard(status) {
  if (status.connected) {
    clearOutage('board');
    paintAll();
  } else {
    setOutage('board', boardOutageText(status.error));
  }
}

// dio-webd's reason already says what is out of reach; it only needs to
// start a sentence.
function boardOutageText(error) {
  if (!error) return 'The board is out of reach; dio-webd connects again every second.';
  return error.charAt(0).toUpperCase() + error.slice(1);
}

function onLine(change) {
  const line = lines.get(change.name);
  if (!line) return;
  line.level = change.level;
  paintLine(change.name);
}

function onFigures(figures) {
  for (const { name, ...functions } of figures.inputs || []) {
    const line = lines.get(name);
    if (!line) continue;
    line.functions = functions;
    paintLine(name);
  }
}

function onClaims(claims) {
  for (const { name, pulsing, claim } of claims.lines || []) {
    const line = lines.get(name);
    if (!line) continue;
    Object.assign(line, { pulsing, claim });
    paintLine(name);
  }
}

// ---- Switching an output or LED ----------------------------------------------

async function switchLine(name) {
  const value = lines.get(name).level === 1 ? 0 : 1;
  setWriting(name, true);
  try {
    await writeWithToken(name, value);
  } catch (error) {
    say(`dio-webd did not answer the switch of ${name}: ${error.message}`);
  } finally {
    setWriting(name, false);
  }
}

function setWriting(name, busy) {
  if (busy) writing.add(name);
  else writing.delete(name);
  paintLine(name);
}

// Asks for the token when this tab has none, and again as long as dio-webd
// refuses it; a cancelled question writes nothing.
async function writeWithToken(name, value) {
  let token = sessionStorage.getItem(TOKEN_KEY) || await askToken(FIRST_ASK);
  while (token) {
    const response = await putLevel(name, value, token);
    if (response.status !== 401) return reportWrite(response);
    sessionStorage.removeItem(TOKEN_KEY);
    token = await askToken(ASK_AGAIN);
  }
  return undefined;
}

function putLevel(name, value, token) {
  return fetch(`/api/v1/lines/${encodeURIComponent(name)}`, {
    method: 'PUT',
    headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${token}` },
    body: JSON.stringify({ value }),
    cache: 'no-store',
  });
}

async function reportWrite(response) {
  if (response.ok) return say('');
  const error = await errorText(response);
  if (response.status === 503) return setOutage('board', error);
  return say(error);  // each says why: 403 read-only or a foreign Host, 409 the holder
}

async function errorText(response) {
  try {
    const body = await response.json();
    if (body && typeof body.error === 'string') return body.error;
  } catch (_) {
    // not JSON: said below
  }
  return `dio-webd answered ${response.status} ${response.statusText}`;
}

// ---- The token's question --------------------------------------------------

function askToken(why) {
  document.getElementById('token-why').textContent = why;
  document.getElementById('token-input').value = '';
  document.getElementById('token-dialog').showModal();
  return new Promise((resolve) => { tokenAnswer = resolve; });
}

function answerToken(token) {
  const resolve = tokenAnswer;
  tokenAnswer = null;
  if (resolve) resolve(token);
}

function setUpTokenDialog() {
  const dialog = document.getElementById('token-dialog');
  document.getElementById('token-form').addEventListener('submit', (event) => {
    event.preventDefault();  // nothing is sent anywhere but in the write
    const token = document.getElementById('token-input').value;
    sessionStorage.setItem(TOKEN_KEY, token);
    answerToken(token);
    dialog.close();
  });
  document.getElementById('token-cancel').addEventListener('click', () => dialog.close());
  dialog.addEventListener('close', () => answerToken(null));
}

buildBoard();
paintAll();
setUpTokenDialog();
openStream();
