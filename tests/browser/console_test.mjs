// Drives the web console of a real MailvaneSvc in headless Chromium.
// Usage: node console_test.mjs <path to MailvaneSvc> <artefact folder> [chromium executable]
// The server runs with -debug against a store in a fresh temporary folder, its console and its
// SMTP listener on free loopback ports.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const [serverPath, artefacts, chromiumPath] = process.argv.slice(2);
if (!serverPath || !artefacts) {
  console.error('usage: node console_test.mjs <MailvaneSvc> <artefact folder> [chromium]');
  process.exit(2);
}
fs.mkdirSync(artefacts, { recursive: true });

const freePort = () => new Promise((resolve, reject) => {
  const probe = net.createServer();
  probe.once('error', reject);
  probe.listen(0, '127.0.0.1', () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

async function waitFor(check, what, tries = 200) {
  for (let i = 0; i < tries; ++i) {
    if (await check()) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`gave up waiting for ${what}`);
}

function startServer(folder, consolePort) {
  const child = spawn(serverPath, ['-debug'], {
    env: {
      ...process.env,
      MAILVANE_REGISTRY: path.join(folder, 'registry.reg'),
      MAILVANE_CONSOLE: `127.0.0.1:${consolePort}`,
      MAILVANE_EVENTLOG: path.join(folder, 'events.log'),
    },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  child.stderr.on('data', (chunk) => { output += chunk; });
  child.output = () => output;
  return child;
}

const secretOf = (folder) => fs.readFileSync(path.join(folder, 'console.secret'), 'utf8').trim();

// A store with every setting, its SMTP port free, so that start-up needs no privileges.
function seedStore(folder, smtpPort) {
  const values = {
    MailServer: 'localhost:1', LogDir: `${folder}/`, ErrorMailAddress: 'admin@example.com',
    InternalPort: String(smtpPort), ErrorMailName: 'Admin', MailFromAddress: '',
    AccessUserName: 'account', AccessPassword: '', MessageExpiry: '60', MaxLength: '160',
    AllowedIP: '127.0.0.1', ForwardOK: '1', StripCRLF: '1', LogDays: '7',
  };
  const lines = ['REGEDIT4', '', '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]'];
  for (const [name, value] of Object.entries(values)) lines.push(`"${name}"="${value}"`);
  fs.writeFileSync(path.join(folder, 'registry.reg'), lines.join('\r\n') + '\r\n', { mode: 0o600 });
}

// One SMTP conversation from 127.0.0.1, which makes the server add a line to its list.
function sendMail(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const script = ['EHLO test', 'MAIL FROM:<a@example.com>', 'RCPT TO:<b@example.com>', 'DATA',
      'Subject: hi\r\n\r\nhello\r\n.', 'QUIT'];
    let buffer = '';
    socket.on('data', (chunk) => {
      buffer += chunk;
      while (buffer.includes('\r\n')) {
        const line = buffer.slice(0, buffer.indexOf('\r\n'));
        buffer = buffer.slice(buffer.indexOf('\r\n') + 2);
        if (/^\d{3} /.test(line) && script.length) socket.write(script.shift() + '\r\n');
      }
    });
    socket.on('close', resolve);
    socket.on('error', reject);
  });
}

const browser = await chromium.launch({ headless: true, executablePath: chromiumPath });
const children = [];
let failed = false;
try {
  // --- A run against a seeded store: sign-in, dialog, list updates -------------------------
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'mailvane-browser-'));
  const consolePort = await freePort();
  const smtpPort = await freePort();
  seedStore(folder, smtpPort);
  const server = startServer(folder, consolePort);
  children.push(server);
  const origin = `http://127.0.0.1:${consolePort}`;
  await waitFor(() => fs.existsSync(path.join(folder, 'console.secret')) &&
    fetch(origin + '/').then((r) => r.ok, () => false), 'the console');

  const page = await browser.newPage();
  await page.goto(origin + '/');
  await page.locator('#signin').waitFor();
  await page.fill('#secret', '0'.repeat(64));
  await page.click('#signin-submit');
  await page.locator('#signin-error', { hasText: 'not right' }).waitFor();
  assert.equal(await page.locator('#mainwindow').isHidden(), true, 'wrong secret shows nothing');
  assert.equal((await fetch(origin + '/api/window')).status, 401, 'API needs a session');
  await page.screenshot({ path: path.join(artefacts, 'signin-refused.png') });

  await page.fill('#secret', secretOf(folder));
  await page.click('#signin-submit');
  await page.locator('#mainwindow').waitFor();
  await page.locator('#caption', { hasText: 'Mailvane - ' }).waitFor();
  await page.locator('#list1 .line', { hasText: 'Starting SMTP server on port' }).waitFor();

  await page.click('#command1');
  await page.locator('#settings').waitFor();
  assert.equal(await page.locator('#settings-caption').innerText(), 'Mailvane Settings');
  assert.equal(await page.getAttribute('#text4', 'type'), 'password');

  // The list keeps updating while the dialog is open.
  const before = await page.locator('#list1 .line').count();
  await sendMail(smtpPort);
  await page.locator('#list1 .line', { hasText: '+++Received from 127.0.0.1' }).waitFor();
  assert.ok(await page.locator('#list1 .line').count() > before);
  assert.equal(await page.locator('#list1 .line').last().getAttribute('class'), 'line selected');

  // A refused save.
  await page.fill('#text4', 'Secret');
  await page.fill('#text8', 'secret');
  await page.click('#save');
  await page.locator('#msgbox-shade').waitFor();
  assert.equal(await page.locator('#msgbox-title').innerText(), 'Invalid Setting Data');
  assert.equal(await page.locator('#msgbox-text').innerText(), 'The passwords do not match...');
  await page.screenshot({ path: path.join(artefacts, 'save-refused.png') });
  await page.click('#msgbox-ok');
  assert.equal(await page.locator('#settings').isVisible(), true, 'dialog stays open');

  // A successful save.
  await page.fill('#text8', 'Secret');
  await page.click('#save');
  await page.locator('#msgbox-title', { hasText: 'Service Restart Required' }).waitFor();
  assert.equal(await page.locator('#msgbox-text').innerText(),
    'You must restart the service before the new settings will take effect...');
  await page.screenshot({ path: path.join(artefacts, 'save-done.png') });
  await page.click('#msgbox-ok');
  assert.equal(await page.locator('#settings').isHidden(), true, 'dialog closed');
  assert.equal(await page.locator('#label1').innerText(), '');
  const store = fs.readFileSync(path.join(folder, 'registry.reg'), 'latin1');
  assert.ok(!store.includes('"AccessPassword"="Secret"'), 'password stored scrambled');
  server.kill('SIGTERM');

  // --- A first run: the first-run notice in Label1 -----------------------------------------
  // Defaults put the SMTP listener on port 25, which needs the privilege to bind it.
  const first = fs.mkdtempSync(path.join(os.tmpdir(), 'mailvane-browser-first-'));
  const firstPort = await freePort();
  const firstServer = startServer(first, firstPort);
  children.push(firstServer);
  const firstOrigin = `http://127.0.0.1:${firstPort}`;
  try {
    await waitFor(() => fs.existsSync(path.join(first, 'console.secret')) &&
      fetch(firstOrigin + '/').then((r) => r.ok, () => false), 'the first-run console', 100);
    const firstPage = await browser.newPage();
    await firstPage.goto(firstOrigin + '/');
    await firstPage.fill('#secret', secretOf(first));
    await firstPage.click('#signin-submit');
    await firstPage.locator('#label1', {
      hasText: 'The application has been initialised to default values...please check the settings...',
    }).waitFor();
    await firstPage.screenshot({ path: path.join(artefacts, 'first-run.png') });
  } catch (error) {
    console.log(`first-run check skipped: ${error.message} (${firstServer.output().trim()})`);
  }
  console.log('console browser test passed');
} catch (error) {
  failed = true;
  console.error(error);
  for (const child of children) console.error(child.output());
} finally {
  for (const child of children) if (child.exitCode === null) child.kill('SIGTERM');
  await browser.close();
}
process.exit(failed ? 1 : 0);
