// A minimal WebSocket client (RFC 6455) on Node.js's own net and crypto modules, enough
// to talk to Orvane's "camera-events" service on the loopback interface: the HTTP
// upgrade with a subprotocol, masked text frames out, text/close/ping frames in
// (fragmented messages included). No TLS, no extensions, no binary messages.
'use strict';

const crypto = require('crypto');
const net = require('net');
const { EventEmitter } = require('events');

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const MAX_MESSAGE = 1 << 20;

class WebSocketClient extends EventEmitter {
  // Emits 'open', 'message' (text), 'close' (code) and 'error'.
  constructor(host, port, protocol) {
    super();
    this.key = crypto.randomBytes(16).toString('base64');
    this.buffer = Buffer.alloc(0);
    this.fragments = [];
    this.open = false;
    this.closed = false;
    this.handshakeDone = false;
    this.socket = net.connect(port, host, () => {
      this.socket.write(
        'GET / HTTP/1.1\r\n' +
          `Host: ${host}:${port}\r\n` +
          'Upgrade: websocket\r\n' +
          'Connection: Upgrade\r\n' +
          `Sec-WebSocket-Key: ${this.key}\r\n` +
          'Sec-WebSocket-Version: 13\r\n' +
          `Sec-WebSocket-Protocol: ${protocol}\r\n\r\n`
      );
    });
    this.socket.on('data', (data) => this.onData(data));
    this.socket.on('error', (error) => this.emit('error', error));
    this.socket.on('close', () => this.finish(1006));
  }

  send(text) {
    if (!this.open) throw new Error('WebSocket is not open');
    this.socket.write(frame(0x1, Buffer.from(text, 'utf8')));
  }

  close(code = 1000) {
    if (!this.open) {
      this.socket.destroy();
      return;
    }
    const payload = Buffer.alloc(2);
    payload.writeUInt16BE(code);
    this.socket.write(frame(0x8, payload));
    this.open = false;
    // The server answers with its own close frame and drops the TCP connection.
    setTimeout(() => this.socket.destroy(), 1000).unref();
  }

  finish(code) {
    if (this.closed) return;
    this.closed = true;
    this.open = false;
    this.emit('close', code);
  }

  fail(message) {
    this.emit('error', new Error(message));
    this.socket.destroy();
  }

  onData(data) {
    this.buffer = Buffer.concat([this.buffer, data]);
    if (!this.handshakeDone) {
      const end = this.buffer.indexOf('\r\n\r\n');
      if (end < 0) return;
      const head = this.buffer.subarray(0, end).toString('latin1').split('\r\n');
      this.buffer = this.buffer.subarray(end + 4);
      const headers = {};
      for (const line of head.slice(1)) {
        const colon = line.indexOf(':');
        if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
      }
      const accept = crypto.createHash('sha1').update(this.key + GUID).digest('base64');
      if (!/^HTTP\/1\.1 101/.test(head[0])) return this.fail('upgrade refused: ' + head[0]);
      if (headers['sec-websocket-accept'] !== accept) return this.fail('wrong Sec-WebSocket-Accept');
      this.handshakeDone = true;
      this.open = true;
      this.emit('open');
    }
    this.readFrames();
  }

  readFrames() {
    for (;;) {
      if (this.buffer.length < 2) return;
      const fin = (this.buffer[0] & 0x80) !== 0;
      const opcode = this.buffer[0] & 0x0f;
      const masked = (this.buffer[1] & 0x80) !== 0;
      let length = this.buffer[1] & 0x7f;
      let offset = 2;
      if (length === 126) {
        if (this.buffer.length < 4) return;
        length = this.buffer.readUInt16BE(2);
        offset = 4;
      } else if (length === 127) {
        if (this.buffer.length < 10) return;
        const big = this.buffer.readBigUInt64BE(2);
        if (big > BigInt(MAX_MESSAGE)) return this.fail('frame too large');
        length = Number(big);
        offset = 10;
      }
      // A server never masks its frames; one that does breaks the protocol.
      if (masked) return this.fail('masked frame from the server');
      if (this.buffer.length < offset + length) return;
      const payload = this.buffer.subarray(offset, offset + length);
      this.buffer = this.buffer.subarray(offset + length);
      this.onFrame(fin, opcode, payload);
      if (this.closed) return;
    }
  }

  onFrame(fin, opcode, payload) {
    switch (opcode) {
      case 0x0: // continuation
      case 0x1: // text
        if (opcode === 0x1) this.fragments = [];
        this.fragments.push(payload);
        if (this.fragments.reduce((sum, part) => sum + part.length, 0) > MAX_MESSAGE) return this.fail('message too large');
        if (fin) {
          const text = Buffer.concat(this.fragments).toString('utf8');
          this.fragments = [];
          this.emit('message', text);
        }
        break;
      case 0x8: { // close: answer it once, then the server drops the connection
        const code = payload.length >= 2 ? payload.readUInt16BE(0) : 1005;
        if (this.open) {
          this.socket.write(frame(0x8, payload.subarray(0, 2)));
          this.open = false;
        }
        this.socket.end();
        this.finish(code);
        break;
      }
      case 0x9: // ping
        if (this.open) this.socket.write(frame(0xa, payload));
        break;
      case 0xa: // pong
        break;
      default:
        this.fail('unsupported frame opcode ' + opcode);
    }
  }
}

// One final frame with the given opcode; client frames are always masked.
function frame(opcode, payload) {
  let header;
  if (payload.length < 126) {
    header = Buffer.from([0x80 | opcode, 0x80 | payload.length]);
  } else if (payload.length < 65536) {
    header = Buffer.alloc(4);
    header[0] = 0x80 | opcode;
    header[1] = 0x80 | 126;
    header.writeUInt16BE(payload.length, 2);
  } else {
    header = Buffer.alloc(10);
    header[0] = 0x80 | opcode;
    header[1] = 0x80 | 127;
    header.writeBigUInt64BE(BigInt(payload.length), 2);
  }
  const mask = crypto.randomBytes(4);
  const masked = Buffer.alloc(payload.length);
  for (let i = 0; i < payload.length; i++) masked[i] = payload[i] ^ mask[i & 3];
  return Buffer.concat([header, mask, masked]);
}

module.exports = { WebSocketClient, frame };
