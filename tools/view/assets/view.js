// The live view page: builds the control panel from the server's control
// list, sends each change as it is made, and shows the rates once a second.
'use strict';

const controlsForm = document.getElementById('controls');
const regionForm = document.getElementById('region');
const notice = document.getElementById('notice');
const sensor = { width: 2560, height: 1920 };  // replaced by the camera's own sizes once they are read
const REGION_FIELDS = { subsampling: 'mode', region_left: 'left', region_top: 'top', region_width: 'width', region_height: 'height' };

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers['Content-Type'] = 'application/json';
  }
  const response = await fetch(path, init);
  const data = await response.json().catch(() => ({ error: 'the server answered ' + response.status }));
  return { ok: response.ok, status: response.status, data };
}

function tell(message, isError) {
  notice.textContent = message;
  notice.classList.toggle('error', Boolean(isError));
}

function element(tag, attributes, text) {
  const made = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) made.setAttribute(name, value);
  if (text !== undefined) made.textContent = text;
  return made;
}

// Shows what the driver kept; a value it clamped is marked.
function showKept(control, input, output, answer) {
  if (control.type === 'boolean') input.checked = answer.value !== 0;
  else input.value = answer.value;
  output.textContent = answer.value;
  output.classList.toggle('clamped', answer.clamped);
  output.title = answer.clamped ? 'asked for ' + answer.requested + ', the driver kept ' + answer.value : '';
}

async function send(control, input, output, value) {
  const answer = await api('PUT', '/api/controls/' + control.name, value);
  if (!answer.ok) {
    tell(control.name + ': ' + answer.data.error, true);
    // The widget goes back to what the driver still holds.
    const held = await api('GET', '/api/controls/' + control.name);
    if (held.ok) showKept(control, input, output, { value: held.data.value, clamped: false });
    return;
  }
  showKept(control, input, output, answer.data);
  tell(answer.data.clamped ? control.name + ': the driver kept ' + answer.data.value : '');
}

function controlRow(control) {
  const readOnly = control.flags.includes('read_only');
  const row = element('div', { class: 'control' + (readOnly ? ' read-only' : '') });
  const id = 'control-' + control.name;
  row.append(element('label', { for: id }, control.name.replace(/_/g, ' ')));
  const output = element('output', { for: id, id: id + '-value' }, String(control.value));
  let input;
  if (control.type === 'boolean') {
    input = element('input', { type: 'checkbox', id, name: control.name });
    input.checked = control.value !== 0;
    input.addEventListener('change', () => send(control, input, output, input.checked));
  } else {
    input = element('input', { type: 'range', id, name: control.name, min: control.minimum, max: control.maximum,
                               step: control.step, value: control.value });
    input.addEventListener('input', () => { output.textContent = input.value; });
    input.addEventListener('change', () => send(control, input, output, Number(input.value)));
  }
  input.disabled = readOnly;
  row.append(input, output);
  if (control.type !== 'boolean')
    row.append(element('span', { class: 'range' },
                       control.minimum + ' … ' + control.maximum + ', default ' + control.default));
  return row;
}

function fillRegion(region) {
  for (const [name, value] of Object.entries(region)) regionForm.elements[name].value = value;
}

async function loadControls() {
  const answer = await api('GET', '/api/controls');
  if (!answer.ok) {
    tell('controls: ' + answer.data.error, true);
    return;
  }
  controlsForm.replaceChildren();
  const region = {};
  for (const control of answer.data.controls) {
    if (control.name === 'sensor_width') sensor.width = control.value;
    if (control.name === 'sensor_height') sensor.height = control.value;
    if (control.flags.includes('restarts_stream')) region[REGION_FIELDS[control.name]] = control.value;
    else controlsForm.append(controlRow(control));
  }
  fillRegion(region);
}

async function applyRegion(region) {
  tell('stopping the stream to change the region…');
  const answer = await api('PUT', '/api/region', region);
  if (!answer.ok) {
    tell('region: ' + answer.data.error, true);
    return;
  }
  fillRegion(answer.data.region);
  tell(answer.data.message + (answer.data.clamped ? ' The camera adjusted the region to fit.' : ''));
}

regionForm.addEventListener('submit', (event) => {
  event.preventDefault();
  const region = {};
  for (const name of Object.values(REGION_FIELDS)) region[name] = Number(regionForm.elements[name].value);
  applyRegion(region);
});

document.getElementById('whole-sensor').addEventListener('click', () =>
  applyRegion({ mode: 0, left: 0, top: 0, width: sensor.width, height: sensor.height }));

document.getElementById('reset').addEventListener('click', async () => {
  const answer = await api('POST', '/api/controls/reset');
  if (!answer.ok) {
    tell('reset: ' + answer.data.error, true);
    return;
  }
  await loadControls();
  tell('controls reset to their defaults');
});

async function showStats() {
  const answer = await api('GET', '/api/stats').catch(() => null);
  const stats = document.getElementById('stats');
  if (answer === null || !answer.ok) {
    stats.textContent = 'the server does not answer';
    return;
  }
  const s = answer.data;
  stats.textContent = (s.streaming ? '' : 'not streaming · ') + s.frame.width + ' × ' + s.frame.height + ' · ' +
    s.fps.measured.toFixed(1) + ' fps (nominal ' + s.fps.nominal.toFixed(0) + ') · ' + s.drops + ' dropped · ' +
    s.display.pictures + ' pictures shown';
  stats.dataset.pictures = s.display.pictures;
}

loadControls();
showStats();
setInterval(showStats, 1000);
