// The console's Messages page (#messages): the journal's messages through /api/messages, newest
// first, filtered and paged; a message opened shows its recipients and timeline, with Retry now
// and Cancel for the message or one recipient. While the page is shown it asks again every
// second. Every value from the server is shown as text, never as markup.
'use strict';

// console.js makes the page with its own request helper: api(method, path, body) answers the
// JSON or throws (SignedOut when the session has ended), and signedOut() shows the sign-in.
function MessagesPage({ api, SignedOut, signedOut }) {
  const $ = (id) => document.getElementById(id);
  const REFRESH_MS = 1000;
  // Each badge's colour: done, waiting, failed or off (ended without an SMS by choice).
  const BADGE = {
    sent: 'done', delivered: 'done', forwarded: 'done',
    queued: 'waiting', held: 'waiting',
    failed: 'failed', undelivered: 'failed', expired: 'failed', rejected: 'failed',
    'given up': 'failed',
    cancelled: 'off', 'not allowed': 'off', duplicate: 'off', 'opted out': 'off',
  };
  const PAGE = 50;
  const MAX_PAGE = 500;  // the most the API answers at once
  const state = { shown: false, filters: null, messages: [], next: '', open: null, timer: null };

  const el = (tag, className, text) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  };

  const timeText = (seconds) => (seconds === null || seconds === undefined ? ''
    : new Date(seconds * 1000).toLocaleString(undefined, { dateStyle: 'short', timeStyle: 'medium' }));

  // A datetime-local value as seconds since 1970; '' when empty or unreadable.
  const secondsOf = (value) => {
    const ms = value ? new Date(value).getTime() : NaN;
    return Number.isNaN(ms) ? '' : String(Math.floor(ms / 1000));
  };

  function readFilters() {
    return {
      number: $('m-number').value.trim(), sender: $('m-sender').value.trim(),
      text: $('m-text').value.trim(), state: $('m-state').value,
      since: secondsOf($('m-since').value), before: secondsOf($('m-before').value),
    };
  }

  function query(cursor, limit) {
    const q = new URLSearchParams();
    for (const [name, value] of Object.entries(state.filters)) if (value) q.set(name, value);
    if (cursor) q.set('cursor', cursor);
    q.set('limit', limit);
    return q;
  }

  // A recipient's badge: its state, and for a recipient of a message still waiting whose last
  // try failed, that it waits for the next one; the provider's answer follows a failure.
  function badge(recipient, message) {
    const span = el('span', `badge ${BADGE[recipient.state] || 'waiting'}`);
    let text = recipient.state;
    if (message.state === 'waiting' && recipient.state === 'failed') text = 'failed, waiting';
    span.textContent = text;
    span.dataset.state = recipient.state;
    if (recipient.answer) span.title = recipient.answer;
    return span;
  }

  const recipientName = (r) => r.sentNumber || r.address;

  function row(message) {
    const tr = el('tr');
    tr.dataset.name = message.name;
    tr.tabIndex = 0;
    if (state.open === message.name) tr.classList.add('open');
    tr.append(el('td', 'time', timeText(message.received)),
      el('td', 'sender', message.sender || message.from),
      el('td', 'subject', message.subject));
    const cell = el('td', 'recipients');
    for (const r of message.recipients) {
      const item = el('span', 'recipient');
      item.append(el('span', 'number', recipientName(r)), ' ', badge(r, message));
      if (BADGE[r.state] === 'failed' && r.answer) {
        const reason = el('span', 'reason', r.answer);
        reason.title = r.answer;
        item.append(reason);
      }
      cell.append(item);
    }
    tr.append(cell);
    return tr;
  }

  function drawList() {
    const rows = state.messages.map(row);
    $('m-rows').replaceChildren(...rows);
    $('m-status').textContent = rows.length === 0 ? 'No messages.'
      : `${rows.length} message${rows.length === 1 ? '' : 's'}`;
    $('m-older').disabled = !state.next;
  }

  // As many of the newest as are shown, asked again in one request, so that Older goes on
  // right after the last one shown even when new messages came since. Beyond what one request
  // answers, the older ones already shown stay as they were.
  async function refresh() {
    const shown = state.messages;
    const first = await api('GET',
      `/api/messages?${query('', Math.min(MAX_PAGE, Math.max(PAGE, shown.length)))}`);
    if (shown.length <= MAX_PAGE) {
      state.messages = first.messages;
      state.next = first.next;
    } else {
      const names = new Set(first.messages.map((m) => m.name));
      state.messages = first.messages.concat(
        shown.slice(MAX_PAGE).filter((m) => !names.has(m.name)));
    }
    drawList();
  }

  async function search() {
    state.filters = readFilters();
    state.messages = [];
    state.next = '';
    await refresh();
  }

  async function older() {
    if (!state.next) return;
    const page = await api('GET', `/api/messages?${query(state.next, PAGE)}`);
    state.messages = state.messages.concat(page.messages);
    state.next = page.next;
    drawList();
  }

  function actionButton(label, name, recipient, action) {
    const button = el('button', 'action', label);
    button.type = 'button';
    button.addEventListener('click', () => act(name, recipient, action));
    return button;
  }

  function drawDetail(message) {
    $('m-detail-title').textContent = `${message.subject || '(no subject)'} - ${message.name}`;
    $('m-detail-info').textContent = [
      `Received ${timeText(message.received)}`, `from ${message.sender || message.from}`,
      ...(message.size > 0 ? [`${message.size} bytes`] : []),
      message.state === 'waiting' ? 'waiting' : `${message.state} ${timeText(message.ended)}`,
    ].join(', ');
    const open = message.state === 'waiting';
    $('m-retry').disabled = !open;
    $('m-cancel').disabled = !open;
    const rows = message.recipients.map((r) => {
      const tr = el('tr');
      tr.dataset.address = r.address;
      const buttons = el('td', 'actions');
      if (open && BADGE[r.state] !== 'done' && BADGE[r.state] !== 'off') {
        buttons.append(actionButton('Retry now', message.name, r.address, 'retry'),
          actionButton('Cancel', message.name, r.address, 'cancel'));
      }
      const cell = el('td');
      cell.append(badge(r, message));
      tr.append(el('td', 'number', recipientName(r)), cell, el('td', '', r.tries),
        el('td', 'answer', [r.answer, ...r.providerIds].filter(Boolean).join(' ')), buttons);
      return tr;
    });
    $('m-recipients').replaceChildren(...rows);
    const events = (message.events || []).map((e) => {
      const li = el('li');
      li.append(el('span', 'time', timeText(e.time)), ' ', el('span', 'kind', e.kind), ' ');
      if (e.address) li.append(el('span', 'number', e.address), ' ');
      li.append(el('span', `badge ${BADGE[e.state] || 'waiting'}`, e.state));
      if (e.text) li.append(' ', el('span', 'text', e.text));
      return li;
    });
    $('m-timeline').replaceChildren(...events);
    $('m-detail').hidden = false;
  }

  async function refreshDetail() {
    if (!state.open) return;
    drawDetail((await api('GET', `/api/messages/${encodeURIComponent(state.open)}`)).message);
  }

  async function openMessage(name) {
    state.open = name;
    $('m-action-result').textContent = '';
    for (const tr of $('m-rows').children) tr.classList.toggle('open', tr.dataset.name === name);
    await refreshDetail();
  }

  function closeMessage() {
    state.open = null;
    $('m-detail').hidden = true;
    for (const tr of $('m-rows').querySelectorAll('tr.open')) tr.classList.remove('open');
  }

  async function act(name, recipient, action) {
    const shown = $('m-action-result');
    shown.className = '';
    try {
      await api('POST', `/api/messages/${encodeURIComponent(name)}/${action}`,
        recipient ? { recipient } : undefined);
      shown.textContent = `${action === 'retry' ? 'Retry asked' : 'Cancel asked'}` +
        `${recipient ? ` for ${recipient}` : ''}.`;
      await refreshDetail();
    } catch (error) {
      if (error instanceof SignedOut) return signedOut();
      shown.className = 'failed';
      shown.textContent = error.message;
    }
  }

  // Any failure but the end of the session shows in the status line and the next tick tries
  // again.
  async function guarded(body) {
    try {
      await body();
    } catch (error) {
      if (error instanceof SignedOut) {
        hide();
        return signedOut();
      }
      $('m-status').textContent = error.message;
    }
  }

  function tick() {
    state.timer = setTimeout(async () => {
      if (!state.shown) return;
      await guarded(async () => {
        await refresh();
        await refreshDetail();
      });
      if (state.shown) tick();
    }, REFRESH_MS);
  }

  async function show() {
    $('messages').hidden = false;
    if (state.shown) return;
    state.shown = true;
    await guarded(async () => {
      if (!state.filters) state.filters = readFilters();
      await refresh();
      await refreshDetail();
    });
    tick();
  }

  function hide() {
    state.shown = false;
    clearTimeout(state.timer);
    $('messages').hidden = true;
  }

  $('m-filters').addEventListener('submit', (event) => {
    event.preventDefault();
    guarded(search);
  });
  $('m-older').addEventListener('click', () => guarded(older));
  $('m-rows').addEventListener('click', (event) => {
    const tr = event.target.closest('tr');
    if (tr) guarded(() => openMessage(tr.dataset.name));
  });
  $('m-rows').addEventListener('keydown', (event) => {
    const tr = event.target.closest('tr');
    if (tr && (event.key === 'Enter' || event.key === ' ')) {
      event.preventDefault();
      guarded(() => openMessage(tr.dataset.name));
    }
  });
  $('m-retry').addEventListener('click', () => act(state.open, '', 'retry'));
  $('m-cancel').addEventListener('click', () => act(state.open, '', 'cancel'));
  $('m-close').addEventListener('click', closeMessage);

  return { show, hide };
}
