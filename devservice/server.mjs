#!/usr/bin/env node
// The local service for ZandorinAuth's development and end-to-end tests.
//   node server.mjs [--port 0] [--realm zandorin] [--access-token-ttl 300] [--refresh-token-ttl 1209600]
// Listens on 127.0.0.1 only and prints "LISTENING <port>" on stdout once it answers; that line
// is the only thing ever written to stdout (tests read it), everything else goes to stderr.

import http from 'node:http';

// The provider prints notices with console.info; keep stdout for the one line tests read.
console.log = console.error; // eslint-disable-line no-console
console.info = console.error; // eslint-disable-line no-console

const USAGE = 'usage: server.mjs [--port N] [--realm NAME] [--access-token-ttl SECONDS] [--refresh-token-ttl SECONDS]';

function parseArgs(argv) {
  const options = {
    port: 0, realm: 'zandorin', accessTokenTtl: 300, refreshTokenTtl: 14 * 24 * 3600,
  };
  const integer = (name, text, min, max) => {
    const value = Number(text);
    if (!/^\d+$/.test(text ?? '') || value < min || value > max) throw new Error(`${name}: expected an integer ${min}..${max}`);
    return value;
  };
  for (let i = 0; i < argv.length; i += 1) {
    const [flag, inline] = argv[i].split(/=(.*)/s, 2);
    const value = () => (inline !== undefined ? inline : argv[++i]); // eslint-disable-line no-plusplus
    switch (flag) {
      case '--port': options.port = integer(flag, value(), 0, 65535); break;
      case '--realm': {
        options.realm = value();
        if (!/^[A-Za-z0-9_-]+$/.test(options.realm ?? '')) throw new Error('--realm: letters, digits, "-" and "_" only');
        break;
      }
      case '--access-token-ttl': options.accessTokenTtl = integer(flag, value(), 1, 86400 * 365); break;
      case '--refresh-token-ttl': options.refreshTokenTtl = integer(flag, value(), 1, 86400 * 365); break;
      case '--help': process.stdout.write(`${USAGE}\n`); process.exit(0); break;
      default: throw new Error(`unknown argument ${argv[i]}`);
    }
  }
  return options;
}

let options;
try {
  options = parseArgs(process.argv.slice(2));
} catch (err) {
  process.stderr.write(`${err.message}\n${USAGE}\n`);
  process.exit(2);
}

const { createApp } = await import('./lib/app.mjs');
const { logLine } = await import('./lib/log.mjs');

const server = http.createServer();
let accepted = 0;
// Numbered, so that the request records show which requests shared a connection.
server.on('connection', (socket) => {
  accepted += 1;
  socket.connectionNumber = accepted; // eslint-disable-line no-param-reassign
});
server.on('error', (err) => {
  process.stderr.write(`cannot listen on 127.0.0.1:${options.port}: ${err.message}\n`);
  process.exit(1);
});
server.listen(options.port, '127.0.0.1', () => {
  const { port } = server.address();
  // The issuer names the real port, so the application is built once that is known.
  const { app, issuer } = createApp({ ...options, port });
  server.on('request', app);
  logLine(`issuer ${issuer}; access tokens live ${options.accessTokenTtl} s`);
  process.stdout.write(`LISTENING ${port}\n`);
});

function stop(signal) {
  logLine(`${signal}: stopping`);
  server.close();
  server.closeAllConnections?.();
  process.exit(0);
}
process.on('SIGTERM', () => stop('SIGTERM'));
process.on('SIGINT', () => stop('SIGINT'));
