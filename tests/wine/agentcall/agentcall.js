// The host's side of agentcall.exe, for a peer that is no Wine process:
//   node agentcall.js PORT ORIGIN METHOD [ARG...]
// Prints the answer's text, or "refused STATUS"; exit 0 when answered.
'use strict';
const net = require('net');
const crypto = require('crypto');

const [port, origin, method, ...params] = process.argv.slice(2);
if (!method) {
  console.error('usage: agentcall.js PORT ORIGIN METHOD [ARG...]');
  process.exit(2);
}
const key = crypto.randomBytes(16).toString('base64');
const socket = net.connect(Number(port), '127.0.0.1');
setTimeout(() => { console.log('no answer: timeout'); process.exit(1); }, 20000).unref();
socket.on('error', (e) => { console.log(`no connection: ${e.message}`); process.exit(1); });
socket.on('connect', () => {
  socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nOrigin: ${origin}\r\nUpgrade: websocket\r\n` +
               `Connection: Upgrade\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`);
});
let buffer = Buffer.alloc(0);
let upgraded = false;
socket.on('data', (chunk) => {
  buffer = Buffer.concat([buffer, chunk]);
  if (!upgraded) {
    const end = buffer.indexOf('\r\n\r\n');
    if (end < 0) return;
    const status = Number(buffer.toString('latin1', 0, end).split(' ')[1]);
    if (status !== 101) { console.log(`refused ${status}`); process.exit(1); }
    upgraded = true;
    buffer = buffer.subarray(end + 4);
    const text = Buffer.from(JSON.stringify({id: 1, method, params}));
    // One masked text frame, as a browser sends it.
    const mask = crypto.randomBytes(4);
    const head = text.length < 126 ? Buffer.from([0x81, 0x80 | text.length])
                                   : Buffer.from([0x81, 0x80 | 126, text.length >> 8, text.length & 255]);
    socket.write(Buffer.concat([head, mask, Buffer.from(text.map((b, i) => b ^ mask[i % 4]))]));
  }
  if (buffer.length < 2) return;
  let length = buffer[1] & 0x7f, offset = 2;
  if (length === 126) { length = buffer.readUInt16BE(2); offset = 4; }
  else if (length === 127) { length = Number(buffer.readBigUInt64BE(2)); offset = 10; }
  if (buffer.length < offset + length) return;
  console.log(buffer.toString('utf8', offset, offset + length));
  process.exit(0);
});
