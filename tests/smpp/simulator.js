// An SMSC simulator on loopback, built on node-smpp's server. It reports what the ESME does as
// JSON lines on stdout and takes commands as JSON lines on stdin, so that a test can drive it.
//
//   node simulator.js '{"system_id":"acct","password":"secret","tls":{"key":..,"cert":..}}'
//
// It ends when its standard input closes, unless "keep" is true (then at SIGTERM).
//
// Events: listening {port}, bind {system_id, password, system_type, accepted}, submit {...},
// sms {dest_addr, dest_ton, text, parts, data_coding, message_ids}, enquire_link,
// enquire_link_resp, unbind, deliver_sm_resp {status}, close.
// Commands: {"cmd":"set", ...options} (throttle: answer the next N submits with
// ESME_RTHROTTLED; fail: {count, status}; drop_after: close the connection, unanswered, at the
// Nth submit from now; quiet: report submits without their "submit" events; hold: keep the
// answers until that many submits wait for one, then answer them all and report "released";
// answers: how to answer the next submits, one kind each: "tlv" (ESME_ROK with an optional
// parameter after message_id), "no_nul" (message_id without its NUL), "generic_nack" or
// "enquire_link_resp" (on the submit's sequence, status `status` or 0), each reported as
// "answered" {kind, dest_addr}),
// {"cmd":"enquire_link"}, {"cmd":"unbind"}, {"cmd":"receipt", message_id, stat, dest_addr},
// {"cmd":"flood", count}: stop reading and send count enquire_link as fast as the socket takes
// them, then report "flooded" {sent}.
'use strict';
const smpp = require('smpp');
const readline = require('readline');

const config = JSON.parse(process.argv[2] || '{}');
const state = {
  throttle: 0,
  fail: null,
  drop_after: 0,
  quiet: false,
  hold: 0,
  answers: []
};
let held = [];

// Answers now, or with the others once `hold` submits wait.
function answer(session, response) {
  if (state.hold <= 0) return session.send(response);
  held.push(() => session.send(response));
  if (held.length < state.hold) return;
  emit('released', { count: held.length });
  const answers = held;
  held = [];
  for (const send of answers) send();
}
const sessions = new Set();
const parts = new Map(); // dest_addr/ref -> {total, got: Map(seq -> text), ids}
let nextId = 1000;

// One PDU as bytes, for answers node-smpp would not form.
function raw(commandId, status, sequence, body) {
  const header = Buffer.alloc(16);
  header.writeUInt32BE(16 + body.length, 0);
  header.writeUInt32BE(commandId >>> 0, 4);
  header.writeUInt32BE(status >>> 0, 8);
  header.writeUInt32BE(sequence, 12);
  return Buffer.concat([header, body]);
}

// The unusual answer of this submit, if one is set: true when it was no ESME_ROK.
function answerOddly(session, pdu, id) {
  const kind = state.answers.shift();
  if (!kind) return null;
  emit('answered', {kind, dest_addr: pdu.destination_addr});
  const seq = pdu.sequence_number;
  const text = Buffer.from('accepted');
  const tlv =
      Buffer.concat([Buffer.from([0x00, 0x1D, 0x00, text.length + 1]), text, Buffer.from([0])]);
  const bodies = {
    tlv: [0x80000004, 0, Buffer.concat([Buffer.from(id + '\0'), tlv])],
    no_nul: [0x80000004, 0, Buffer.from(id)],
    generic_nack: [0x80000000, state.status || 0, Buffer.alloc(0)],
    enquire_link_resp: [0x80000015, state.status || 0, Buffer.alloc(0)],
  };
  const [commandId, status, body] = bodies[kind];
  session.socket.write(raw(commandId, status, seq, body));
  return kind === 'tlv' || kind === 'no_nul' ? false : true;
}

// Sends count enquire_link without reading anything more, as fast as the socket takes them.
function flood(session, count) {
  session.pause();
  let sent = 0;
  let reported = false;
  const report = () => {
    if (!reported) emit('flooded', {sent});
    reported = true;
  };
  const batch = () => {
    while (sent < count && session.socket.writable) {
      sent++;
      if (!session.socket.write(raw(0x15, 0, 0x10000 + (sent % 0x7FFF0000), Buffer.alloc(0)))) {
        return session.socket.once('drain', batch);
      }
    }
    report();
  };
  session.socket.once('close', report);
  batch();
}

function emit(event, fields) {
  process.stdout.write(JSON.stringify(Object.assign({ event }, fields || {})) + '\n');
}

function onSession(session) {
  sessions.add(session);
  session.on('close', () => { sessions.delete(session); emit('close'); });
  session.on('error', () => {});
  session.on('bind_transceiver', (pdu) => {
    const accepted = pdu.system_id === config.system_id && pdu.password === config.password;
    emit('bind', { system_id: pdu.system_id, password: pdu.password,
                   system_type: pdu.system_type, accepted });
    session.send(pdu.response({ command_status: accepted ? 0 : smpp.ESME_RBINDFAIL }));
  });
  session.on('enquire_link', (pdu) => { emit('enquire_link'); session.send(pdu.response()); });
  session.on('enquire_link_resp', () => emit('enquire_link_resp'));
  session.on('deliver_sm_resp', (pdu) => emit('deliver_sm_resp', { status: pdu.command_status }));
  session.on('unbind', (pdu) => {
    emit('unbind');
    session.send(pdu.response(), () => session.close());
  });
  session.on('submit_sm', (pdu) => onSubmit(session, pdu));
}

function onSubmit(session, pdu) {
  if (state.drop_after > 0 && --state.drop_after === 0) {
    emit('dropped', { dest_addr: pdu.destination_addr });
    session.destroy();
    return;
  }
  if (state.throttle > 0) {
    state.throttle--;
    emit('throttled', { dest_addr: pdu.destination_addr });
    session.send(pdu.response({ command_status: smpp.ESME_RTHROTTLED }));
    return;
  }
  if (state.fail && state.fail.count > 0) {
    state.fail.count--;
    session.send(pdu.response({ command_status: state.fail.status }));
    return;
  }
  const message = pdu.short_message; // decoded by node-smpp: {udh, message}
  const text = typeof message.message === 'string' ? message.message : '';
  const id = String(nextId++);
  const submit = {
    dest_addr: pdu.destination_addr, dest_ton: pdu.dest_addr_ton, dest_npi: pdu.dest_addr_npi,
    source_addr: pdu.source_addr, source_ton: pdu.source_addr_ton,
    data_coding: pdu.data_coding, esm_class: pdu.esm_class,
    registered_delivery: pdu.registered_delivery, text, message_id: id,
  };
  const udh = (message.udh || []).find((u) => u[0] === 0x00 && u[1] === 3);
  if (udh) submit.udh = [udh[2], udh[3], udh[4]];
  if (!state.quiet) emit('submit', submit);
  const odd = answerOddly(session, pdu, id);
  if (odd) return;
  if (odd === null) answer(session, pdu.response({message_id: id}));
  if (!udh) {
    emit('sms', { dest_addr: submit.dest_addr, dest_ton: submit.dest_ton, text, parts: 1,
                  data_coding: submit.data_coding, message_ids: [id],
                  registered_delivery: submit.registered_delivery });
    return;
  }
  const key = submit.dest_addr + '/' + udh[2];
  const entry = parts.get(key) || { total: udh[3], got: new Map(), ids: [], receipts: [] };
  entry.got.set(udh[4], text);
  entry.ids.push(id);
  entry.receipts.push(submit.registered_delivery);
  parts.set(key, entry);
  if (entry.got.size === entry.total) {
    parts.delete(key);
    let whole = '';
    for (let i = 1; i <= entry.total; i++) whole += entry.got.get(i);
    emit('sms', { dest_addr: submit.dest_addr, dest_ton: submit.dest_ton, text: whole,
                  parts: entry.total, data_coding: submit.data_coding, message_ids: entry.ids,
                  registered_delivery: entry.receipts });
  }
}

function onCommand(line) {
  const c = JSON.parse(line);
  if (c.cmd === 'set') {
    Object.assign(state, c);
  } else if (c.cmd === 'enquire_link') {
    for (const s of sessions) s.enquire_link();
  } else if (c.cmd === 'unbind') {
    for (const s of sessions) s.unbind();
  } else if (c.cmd === 'flood') {
    for (const s of sessions) flood(s, c.count);
  } else if (c.cmd === 'receipt') {
    const stamp = '2601010000';
    for (const s of sessions) {
      s.deliver_sm({
        source_addr: c.dest_addr, destination_addr: 'Mailvane', esm_class: 0x04,
        short_message: 'id:' + c.message_id + ' sub:001 dlvrd:001 submit date:' + stamp +
          ' done date:' + stamp + ' stat:' + c.stat + ' err:000 text:',
      });
    }
  }
}

const server = config.tls ? smpp.createServer({ key: config.tls.key, cert: config.tls.cert }, onSession)
                          : smpp.createServer(onSession);
server.listen(config.port || 0, '127.0.0.1', () => emit('listening', { port: server.address().port }));
const commands = readline.createInterface({ input: process.stdin }).on('line', onCommand);
if (!config.keep) commands.on('close', () => process.exit(0));
