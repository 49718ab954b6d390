// The host's side of agentcall.exe, for a peer that is no Wine process:
//   node agentcall.js PORT ORIGIN METHOD [ARG...]
// Prints the answer's text, or "refused STATUS"; exit 0 when answered.
'use strict';
const http = require('http');
const crypto = require('crypto');

const [port, origin, method, ...params] = process.argv.slice(2);
if (!method) {
  console.error('usage: agentcall.js PORT ORIGIN METHOD [ARG...]');
  process.exit(2);
}
setTimeout(() => { console.log('no answer: timeout'); process.exit(1); }, 20000).unref();
const key = crypto.randomBytes(16).toString('base64');
const request = http.request({ host: '127.0.0.1', port, headers: { Origin: origin, Connection: 'Upgrade',
  Upgrade: 'websocket', 'Sec-WebSocket-Key': key, 'Sec-WebSocket-Version': 13 } });
request.on('error', (e) => { console.log(`no connection: ${e.message}`); process.exit(1); });
request.on('response', (r) => { console.log(`refused ${r.statusCode}`); process.exit(1); });
request.on('upgrade', (_, socket, head) => {
  // One masked text frame, as a browser sends it.
  const text = Buffer.from(JSON.stringify({id: 1, method, params}));
  const mask = crypto.randomBytes(4);
  const size = text.length < 126 ? [0x80 | text.length] : [0x80 | 126, text.length >> 8, text.length & 255];
  const masked = Buffer.from(text.map((b, i) => b ^ mask[i % 4]));
  socket.write(Buffer.concat([Buffer.from([0x81, ...size]), mask, masked]));
  let buffer = head;
  const read = (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    if (buffer.length < 2) return;
    let length = buffer[1] & 0x7f, offset = 2;
    if (length === 126) { length = buffer.readUInt16BE(2); offset = 4; }
    else if (length === 127) { length = Number(buffer.readBigUInt64BE(2)); offset = 10; }
    if (buffer.length < offset + length) return;
    console.log(buffer.toString('utf8', offset, offset + length));
    process.exit(0);
  };
  socket.on('data', read);
  read(Buffer.alloc(0));
});
request.end();
