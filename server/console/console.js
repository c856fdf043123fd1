// The Mailvane console page: draws the server's main window from /api/window, keeps its list
// current with a long poll, and drives the settings dialog through /api/settings/*. A second
// page, Provider (#provider), edits the SMS provider's values through /api/provider and sends a
// test SMS; a third, Messages (#messages, messages.js), lists the messages. Every value from the server is shown as text, never as markup.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  // The dialog's controls (element ids) and the fields of /api/settings they show.
  const TEXTS = {
    text1: 'listeningPort',
    text9: 'messageExpiry',
    text10: 'maxLength',
    text11: 'allowedIps',
    text2: 'mailServer',
    text3: 'accessUserName',
    text4: 'accessPassword',
    text8: 'confirmPassword',
    text5: 'mailFromAddress',
    text6: 'errorMailAddress',
    text7: 'errorMailName',
  };
  const CHECKS = {check1: 'allowForwarding', check2: 'stripCrLf'};
  const view = { csrf: '', epoch: null, from: 0, version: null, polling: false };
  let msgboxDone = null;
  let messages = null;  // the Messages page, made at load

  class SignedOut extends Error {}

  async function api(method, path, body) {
    const headers = { 'X-CSRF-Token': view.csrf };
    const init = { method, headers, credentials: 'same-origin', cache: 'no-store' };
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const response = await fetch(path, init);
    if (response.status === 401) throw new SignedOut();
    const data = await response.json().catch(() => ({}));
    if (!response.ok) throw new Error(data.error || `HTTP ${response.status}`);
    return data;
  }

  // --- Sign-in ---------------------------------------------------------------------------

  function showSignIn(message) {
    view.polling = false;
    $('mainwindow').hidden = true;
    $('settings').hidden = true;
    $('provider').hidden = true;
    if (messages) messages.hide();
    $('pages').hidden = true;
    $('signin').hidden = false;
    $('signin-error').textContent = message || '';
    $('secret').focus();
  }

  async function signIn(event) {
    event.preventDefault();
    $('signin-error').textContent = '';
    const response = await fetch('/login', {
      method: 'POST',
      credentials: 'same-origin',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ secret: $('secret').value }),
    });
    $('secret').value = '';
    if (!response.ok) {
      showSignIn(response.status === 429 ? 'Too many attempts; wait a moment.'
        : 'The secret is not right.');
      return;
    }
    view.csrf = (await response.json()).csrf;
    start();
  }

  // --- Main window -----------------------------------------------------------------------

  function drawWindow(data) {
    $('caption').textContent = data.caption;
    document.title = data.caption;
    $('label1').textContent = data.label1;
    const list = $('list1');
    if (data.reset) list.replaceChildren();
    for (const text of data.lines) {
      const line = document.createElement('div');
      line.className = 'line';
      line.setAttribute('role', 'option');
      line.textContent = text;
      list.appendChild(line);
    }
    if (data.lines.length > 0) {
      const previous = list.querySelector('.line.selected');
      if (previous) previous.classList.remove('selected');
      const last = list.lastElementChild;
      last.classList.add('selected');
      last.setAttribute('aria-selected', 'true');
      last.scrollIntoView({ block: 'nearest' });  // the selected line is always in view
    }
    view.epoch = data.epoch;
    view.from = data.from + data.lines.length;
    view.version = data.version;
    return view.from < data.total;  // more to fetch at once
  }

  function windowQuery() {
    const query = new URLSearchParams();
    if (view.epoch !== null) {
      query.set('epoch', view.epoch);
      query.set('from', view.from);
    }
    return query;
  }

  async function poll() {
    view.polling = true;
    let more = drawWindow(await api('GET', `/api/window?${windowQuery()}`));
    while (view.polling) {
      try {
        const query = windowQuery();
        if (!more) query.set('version', view.version);
        more = drawWindow(await api('GET', `/api/window/wait?${query}`));
      } catch (error) {
        if (error instanceof SignedOut) return showSignIn();
        await new Promise((resolve) => setTimeout(resolve, 2000));
      }
    }
  }

  // --- Settings dialog -------------------------------------------------------------------

  // The stored access password never comes to the page: the two fields start empty, say
  // whether one is set, and a save that leaves both empty keeps it.
  const PASSWORD_SET = 'set: blank keeps it';

  function showDialog(values) {
    for (const [id, field] of Object.entries(TEXTS)) $(id).value = values[field];
    for (const id of ['text4', 'text8']) {
      $(id).placeholder = values.accessPasswordSet ? PASSWORD_SET : '';
    }
    for (const [id, field] of Object.entries(CHECKS)) $(id).checked = values[field] !== 0;
    $('settings').hidden = false;
    $('text1').focus();
  }

  function typedValues() {
    const values = {};
    for (const [id, field] of Object.entries(TEXTS)) values[field] = $(id).value;
    for (const [id, field] of Object.entries(CHECKS)) values[field] = $(id).checked ? 1 : 0;
    return values;
  }

  function messageBox(message) {
    $('msgbox-title').textContent = message.title;
    $('msgbox-text').textContent = message.text;
    $('msgbox-icon').className = `icon ${message.icon}`;
    $('msgbox-shade').hidden = false;
    $('msgbox-ok').focus();
    return new Promise((resolve) => { msgboxDone = resolve; });
  }

  function closeMessageBox() {
    $('msgbox-shade').hidden = true;
    if (msgboxDone) {
      const done = msgboxDone;
      msgboxDone = null;
      done();
    }
  }

  async function guarded(action) {
    try {
      await action();
    } catch (error) {
      if (error instanceof SignedOut) return showSignIn();
      await messageBox({ title: 'Mailvane', text: error.message, icon: 'critical' });
    }
  }

  const openSettings = () => guarded(async () => {
    showDialog((await api('POST', '/api/settings/open')).values);
  });

  const saveSettings = () => guarded(async () => {
    const result = await api('POST', '/api/settings/save', typedValues());
    if (!result.open) $('settings').hidden = true;
    await messageBox(result.message);
    if (result.open) $('text1').focus();
  });

  const closeSettings = () => guarded(async () => {
    await api('POST', '/api/settings/close');
    $('settings').hidden = true;
  });

  // Alt with the underlined letter clicks the dialog's button ("&Close", "&Save"), the same in
  // every browser; the browser's own access-key handling is kept out so that it cannot click
  // twice.
  function accessKey(event) {
    if (!event.altKey || event.ctrlKey || event.metaKey || $('settings').hidden) return;
    const letter = /^Key[A-Z]$/.test(event.code) ? event.code.slice(3).toLowerCase()
      : event.key.toLowerCase();
    const button = $('settings').querySelector(`button[accesskey="${CSS.escape(letter)}"]`);
    if (!button) return;
    event.preventDefault();
    button.click();
  }

  // --- Provider page ---------------------------------------------------------------------

  const providerControls = () => document.querySelectorAll('#provider [data-value]');

  // The fields of the chosen protocol; any protocol but smpp and http has none.
  function showProtocol() {
    const protocol = $('p-Protocol').value.toLowerCase();
    $('provider-smpp').hidden = protocol !== 'smpp';
    $('provider-http').hidden = protocol !== 'http';
    $('provider-mail').hidden = protocol === 'smpp' || protocol === 'http';
  }

  function fillProvider(data) {
    const select = $('p-Protocol');
    for (const option of select.querySelectorAll('option.stored')) option.remove();
    for (const control of providerControls()) {
      let value = data.values[control.dataset.value] ?? '';
      if (control === select) {
        value = value || 'mail';
        // A stored protocol the list does not name is shown, and saved, as it stands.
        if (![...select.options].some((option) => option.value === value)) {
          const option = document.createElement('option');
          option.className = 'stored';
          option.value = value;
          option.textContent = value;
          select.appendChild(option);
        }
      }
      control.value = value;
    }
    $('provider-account').textContent = data.accessUserName;
    $('provider-problems').replaceChildren();
    showProtocol();
  }

  function typedProvider() {
    const values = {};
    for (const control of providerControls()) values[control.dataset.value] = control.value;
    return values;
  }

  const saveProvider = () => guarded(async () => {
    const result = await api('POST', '/api/provider/save', typedProvider());
    const list = $('provider-problems');
    list.replaceChildren();
    if (!result.saved) {
      for (const problem of result.problems) {
        const item = document.createElement('li');
        item.textContent = problem;
        list.appendChild(item);
      }
      return;
    }
    await messageBox(result.message);
  });

  // Starts a test, then waits (long polls, again after each time-out) for its result.
  async function sendTest() {
    const shown = $('provider-test-result');
    $('provider-test').disabled = true;
    shown.className = '';
    shown.textContent = 'Sending the test SMS...';
    try {
      const started = await api('POST', '/api/provider/test',
        { number: $('provider-number').value, text: $('provider-text').value });
      let result;
      do {
        result = await api('GET', `/api/provider/test/wait?test=${started.test}`);
      } while (!result.done);
      shown.className = result.sent ? 'sent' : 'failed';
      shown.textContent = result.text;
    } catch (error) {
      if (error instanceof SignedOut) return showSignIn();
      shown.className = 'failed';
      shown.textContent = error.message;
    } finally {
      $('provider-test').disabled = false;
    }
  }

  // --- Pages -----------------------------------------------------------------------------

  const PAGES = ['main', 'provider', 'messages'];
  const currentPage = () => {
    const page = location.hash.slice(1);
    return PAGES.includes(page) ? page : 'main';
  };

  // The main window (with the settings dialog when the server has it open), the Provider page
  // or the Messages page, each drawn from the server's state.
  async function showPage(page) {
    for (const name of PAGES) $(`page-${name}`).setAttribute('aria-pressed', String(page === name));
    $('mainwindow').hidden = page !== 'main';
    $('provider').hidden = page !== 'provider';
    if (page !== 'messages') messages.hide();
    if (page === 'messages') {
      $('settings').hidden = true;
      await messages.show();
      return;
    }
    if (page === 'provider') {
      $('settings').hidden = true;
      await guarded(async () => fillProvider(await api('GET', '/api/provider')));
      return;
    }
    const dialog = await api('GET', '/api/settings').catch(() => ({ open: false }));
    if (dialog.open) showDialog(dialog.values);
  }

  // --- Start -----------------------------------------------------------------------------

  async function start() {
    try {
      view.csrf = (await api('GET', '/api/session')).csrf;
    } catch (error) {
      return showSignIn();
    }
    $('signin').hidden = true;
    $('pages').hidden = false;
    await showPage(currentPage());
    view.epoch = null;
    if (!view.polling) poll().catch((error) => {
      view.polling = false;
      if (error instanceof SignedOut) showSignIn();
    });
  }

  document.addEventListener('DOMContentLoaded', () => {
    messages = MessagesPage({ api, SignedOut, signedOut: () => showSignIn() });
    $('signin').addEventListener('submit', (event) => signIn(event).catch(() =>
      showSignIn('The console cannot be reached.')));
    $('command1').addEventListener('click', openSettings);
    $('save').addEventListener('click', saveSettings);
    $('close').addEventListener('click', closeSettings);
    $('settings-x').addEventListener('click', closeSettings);
    $('msgbox-ok').addEventListener('click', closeMessageBox);
    $('page-main').addEventListener('click', () => { location.hash = 'main'; });
    $('page-provider').addEventListener('click', () => { location.hash = 'provider'; });
    $('page-messages').addEventListener('click', () => { location.hash = 'messages'; });
    window.addEventListener('hashchange', () => {
      if (!$('pages').hidden) showPage(currentPage());
    });
    $('p-Protocol').addEventListener('change', showProtocol);
    $('provider-save').addEventListener('click', saveProvider);
    $('provider-test').addEventListener('click', sendTest);
    document.addEventListener('keydown', (event) => {
      if ($('msgbox-shade').hidden) {
        accessKey(event);
        return;
      }
      if (event.key === 'Enter' || event.key === 'Escape') {
        event.preventDefault();
        closeMessageBox();
      } else if (event.key === 'Tab') {
        event.preventDefault();  // the message box keeps the focus until OK
      }
    });
    start();
  });
})();
