// A static server for the page, plus the far end of the test stand-in for Web Serial: each
// WebSocket on /serial is one opening of the simulated device's pseudo-terminal, opened raw
// and purged as a serial port is. A text message "open" says it is; then the socket's binary
// messages are the bytes both ways. Closing the socket closes the port; the device's hang-up
// closes the socket.
//
//   node serial-bridge.js SITE_DIR PTY_PATH [PORT]   (the demo: serves until Ctrl-C)
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import {WebSocketServer} from 'ws';

const here = path.dirname(fileURLToPath(import.meta.url));
const kTypes = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.png': 'image/png',
};

// The port's end: a small relay that opens the pty raw (8N1, nothing added or taken away)
// and purges both queues, as opening a serial port does; the purge is also what tells the
// simulated device that a host has come. Then it copies the port to its stdout and its stdin
// to the port, and ends when the device hangs up (EIO: status 3) or its stdin closes. (Node's
// own tty streams cannot be trusted with a pty slave: their set-up fails now and then.)
const kRelay = `
import os, select, sys, termios, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
termios.tcflush(fd, termios.TCIOFLUSH)
os.write(1, b"R")
while True:
    ready, _, _ = select.select([fd, 0], [], [])
    if fd in ready:
        try:
            data = os.read(fd, 4096)
        except OSError:
            sys.exit(3)
        if not data:
            sys.exit(3)
        os.write(1, data)
    if 0 in ready:
        data = os.read(0, 4096)
        if not data:
            sys.exit(0)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
`;

function openPort(socket, ptyPath) {
  const relay = spawn('python3', ['-c', kRelay, ptyPath], {stdio: ['pipe', 'pipe', 'ignore']});
  let ready = false;
  let closed = false;
  const close = (code, why) => {
    if (closed) return;
    closed = true;
    relay.stdin.destroy();
    relay.kill();
    if (socket.readyState === socket.OPEN) socket.close(code, why);
  };
  // Bytes from the page wait until the port is open and purged.
  socket.pause();
  relay.stdout.on('data', (bytes) => {
    if (!ready) {
      ready = true;
      bytes = bytes.subarray(1);  // "R": open
      socket.send('open');
      socket.resume();
      if (bytes.length === 0) return;
    }
    socket.send(bytes);
  });
  relay.on('exit', (status) => close(4000, status === 3 ? 'the device is gone' : 'closed'));
  relay.stdin.on('error', () => close(4000, 'the device is gone'));
  socket.on('message', (bytes) => {
    if (!closed) relay.stdin.write(bytes);
  });
  socket.on('close', () => close(1000, 'closed'));
}

// Serves siteDir (and this folder's stand-in at /serial-standin.js) and bridges /serial to
// the pty that devicePath() names at the time of each opening. Resolves to {url, close}.
export function startServer({siteDir, devicePath, port = 0, host = '127.0.0.1'}) {
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://localhost');
    let file = url.pathname === '/' ? '/index.html' : url.pathname;
    const root = file === '/serial-standin.js' ? here : siteDir;
    file = path.join(root, path.normalize(file).replace(/^(\.\.[/\\])+/, ''));
    fs.readFile(file, (error, body) => {
      if (error) {
        response.writeHead(404).end();
        return;
      }
      // The demo's page gets the stand-in before its own script; the page itself is as shipped.
      if (url.searchParams.has('simulated') && file.endsWith('index.html')) {
        body = body.toString().replace('<script src="page.js"',
            '<script src="serial-standin.js"></script>\n<script src="page.js"');
      }
      response.writeHead(200, {
        'Content-Type': kTypes[path.extname(file)] || 'application/octet-stream',
        'Cache-Control': 'no-store',
      });
      response.end(body);
    });
  });
  const sockets = new WebSocketServer({server, path: '/serial'});
  sockets.on('connection', (socket) => openPort(socket, devicePath()));
  return new Promise((resolve) => {
    server.listen(port, host, () => {
      const address = server.address();
      resolve({
        url: `http://${host === '127.0.0.1' ? 'localhost' : host}:${address.port}`,
        close: () => new Promise((done) => {
          for (const socket of sockets.clients) socket.terminate();
          sockets.close();
          server.close(() => done());
        }),
      });
    });
  });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const [siteDir, ptyPath, port = '8080'] = process.argv.slice(2);
  const {url} = await startServer({siteDir, devicePath: () => ptyPath, port: Number(port)});
  console.log(`${url}/?simulated`);
}
