// The live view page in headless Chromium: the page loads, the picture
// updates, the brightness slider brightens the next pictures, the
// horizontal-flip toggle mirrors the colour bars, and the server stops
// cleanly on SIGINT. A screenshot of the page is kept as an artefact.
//   node live_view.test.mjs SERVER ARTIFACT_DIR
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import path from 'node:path';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const [serverPath, artifactDir] = process.argv.slice(2);
const PICTURE_WAIT_MS = 30000;

// Starts the server and resolves with its address once it prints it.
async function startServer() {
  const server = spawn(serverPath, [], { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  const address = await new Promise((resolve, reject) => {
    server.stdout.on('data', (chunk) => {
      output += chunk;
      const found = output.match(/serving (http:\/\/127\.0\.0\.1:\d+\/)/);
      if (found) resolve(found[1]);
    });
    server.on('exit', (code) => reject(new Error('the server ended (' + code + ') before serving: ' + output)));
  });
  return { server, address };
}

// The picture as the page shows it: mean brightness, and the colour of the
// leftmost and rightmost of the eight bars as red, green and blue bits.
function measurePicture() {
  const img = document.getElementById('picture');
  if (!img.complete || img.naturalWidth === 0) return null;
  const canvas = document.createElement('canvas');
  canvas.width = img.naturalWidth;
  canvas.height = img.naturalHeight;
  const context = canvas.getContext('2d');
  context.drawImage(img, 0, 0);
  const { data, width, height } = context.getImageData(0, 0, canvas.width, canvas.height);
  let sum = 0;
  for (let i = 0; i < data.length; i += 4) sum += data[i] + data[i + 1] + data[i + 2];
  const bar = (index) => {
    const at = (Math.floor(height / 2) * width + Math.floor((width * (2 * index + 1)) / 16)) * 4;
    return (data[at] > 128 ? 4 : 0) | (data[at + 1] > 128 ? 2 : 0) | (data[at + 2] > 128 ? 1 : 0);
  };
  return { mean: sum / (data.length / 4) / 3, first: bar(0), last: bar(7), width, height };
}

async function waitFor(page, what, test) {
  const deadline = Date.now() + PICTURE_WAIT_MS;
  let last = null;
  while (Date.now() < deadline) {
    last = await page.evaluate(measurePicture);
    if (last !== null && test(last)) return last;
    await page.waitForTimeout(100);
  }
  throw new Error('timed out waiting for ' + what + '; last picture ' + JSON.stringify(last));
}

async function picturesShown(page) {
  const stats = await page.request.get('/api/stats');
  return (await stats.json()).display.pictures;
}

async function main() {
  const { server, address } = await startServer();
  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true });
  try {
    const page = await browser.newPage({ baseURL: address, viewport: { width: 1200, height: 800 } });
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto('/');
    await page.locator('#control-brightness').waitFor();

    // The page loads and the picture updates.
    const first = await waitFor(page, 'a picture', () => true);
    assert.equal(first.width, 320);
    const shown = await picturesShown(page);
    const deadline = Date.now() + PICTURE_WAIT_MS;
    while ((await picturesShown(page)) < shown + 3 && Date.now() < deadline) await page.waitForTimeout(100);
    assert.ok((await picturesShown(page)) >= shown + 3, 'new pictures keep coming');
    await page.waitForFunction(() => /fps/.test(document.getElementById('stats').textContent));

    // The colour bars run white to black from the left.
    const bars = await waitFor(page, 'white bars on the left', (p) => p.first === 7 && p.last === 0);

    // Brightness to its maximum, as a person would with the keyboard.
    const slider = page.locator('#control-brightness');
    await slider.focus();
    await page.keyboard.press('End');
    await page.locator('#control-brightness-value').filter({ hasText: '510' }).waitFor();
    const brighter = await waitFor(page, 'a brighter picture', (p) => p.mean > bars.mean + 20);
    console.log('mean brightness', bars.mean.toFixed(1), '->', brighter.mean.toFixed(1));
    const kept = await (await page.request.get('/api/controls/brightness')).json();
    assert.equal(kept.value, 510, 'the driver holds the slider\'s value');
    await slider.press('Home');
    await page.locator('#control-brightness-value').filter({ hasText: /^0$/ }).waitFor();
    await page.click('#reset');
    await page.locator('#control-brightness-value').filter({ hasText: String(kept.default) }).waitFor();

    // The horizontal flip mirrors the bars: black now on the left.
    await page.check('#control-horizontal_flip');
    await waitFor(page, 'mirrored bars', (p) => p.first === 0 && p.last === 7);
    await page.screenshot({ path: path.join(artifactDir, 'live_view.png'), fullPage: true });
    await page.uncheck('#control-horizontal_flip');
    await waitFor(page, 'bars the right way round again', (p) => p.first === 7 && p.last === 0);

    assert.deepEqual(errors, [], 'no script errors on the page');
  } finally {
    await browser.close();
    server.kill('SIGINT');
  }
  const [code, signal] = await once(server, 'exit');
  assert.equal(signal, null, 'the server ended by itself, not by the signal');
  assert.equal(code, 0, 'the server stopped cleanly on SIGINT');
  console.log('screenshot:', path.join(artifactDir, 'live_view.png'));
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
