'use strict';
// Helpers of the panel's browser tests: the program under test, the headless
// browser, and two small loopback peers (a SOCKS5 proxy that only reaches
// 127.0.0.0/8, and a web server that sends a slow body).
const {spawn} = require('child_process');
const fs = require('fs');
const net = require('net');
const http = require('http');
const path = require('path');
const {chromium} = require('playwright-core');

const CHROMIUM_FLAGS = [
  '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--disable-default-apps', '--no-proxy-server'
];

function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

// Resolves once host:port accepts a connection; rejects after timeoutMs.
async function waitForPort(host, port, timeoutMs) {
  const until = Date.now() + timeoutMs;
  while (Date.now() < until) {
    const ok = await new Promise((resolve) => {
      const s = net.connect({host, port});
      s.once('connect', () => {
        s.destroy();
        resolve(true);
      });
      s.once('error', () => resolve(false));
    });
    if (ok) return;
    await sleep(100);
  }
  throw new Error(`nothing listens on ${host}:${port}`);
}

// The program in the foreground (/run) with its data under env.MEROVANE_HOME.
class Program {
  constructor(bin, home, port) {
    this.bin = bin;
    this.home = home;
    this.port = port;
    this.child = null;
    this.log = '';
  }
  async start() {
    const env = {...process.env, MEROVANE_HOME: this.home, MEROVANE_OPEN: '/bin/true'};
    for (const k of Object.keys(env)) if (/_proxy$/i.test(k)) delete env[k];
    this.child = spawn(this.bin, ['/run'], {env, stdio: ['ignore', 'pipe', 'pipe']});
    const keep = (d) => {
      this.log = (this.log + d.toString()).slice(-20000);
    };
    this.child.stdout.on('data', keep);
    this.child.stderr.on('data', keep);
    this.exited = new Promise((resolve) => this.child.once('exit', resolve));
    const child = this.child;
    process.once('exit', () => {
      if (child.exitCode === null) child.kill('SIGKILL');  // never outlive the tests
    });
    await waitForPort('127.0.0.1', this.port, 15000);
  }
  async stop() {
    if (!this.child || this.child.exitCode !== null) return;
    this.child.kill('SIGTERM');
    const done = await Promise.race([this.exited.then(() => true), sleep(10000).then(() => false)]);
    if (!done) {
      this.child.kill('SIGKILL');
      await this.exited;
    }
    this.child = null;
  }
}

async function launchBrowser() {
  return chromium.launch({executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
                          args: CHROMIUM_FLAGS, timeout: 60000});
}

// SOCKS5 without authentication, CONNECT to IPv4 addresses of 127.0.0.0/8
// only; any other request is refused.
function startSocks5(host) {
  const server = net.createServer((client) => {
    let buf = Buffer.alloc(0), stage = 0;
    client.on('error', () => {});
    const onData = (d) => {
      buf = Buffer.concat([buf, d]);
      if (stage === 0) {
        if (buf.length < 2 || buf.length < 2 + buf[1]) return;
        if (buf[0] !== 5) return client.destroy();
        buf = buf.subarray(2 + buf[1]);
        client.write(Buffer.from([5, 0]));
        stage = 1;
      }
      if (stage === 1) {
        if (buf.length < 10) return;
        if (buf[0] !== 5 || buf[1] !== 1 || buf[3] !== 1 || buf[4] !== 127) {
          client.end(Buffer.from([5, 2, 0, 1, 0, 0, 0, 0, 0, 0]));
          return;
        }
        const addr = `${buf[4]}.${buf[5]}.${buf[6]}.${buf[7]}`, port = buf.readUInt16BE(8);
        const rest = buf.subarray(10);
        stage = 2;
        client.removeListener('data', onData);
        client.pause();
        const up = net.connect({host: addr, port});
        up.on('error', () => {
          client.end(Buffer.from([5, 5, 0, 1, 0, 0, 0, 0, 0, 0]));
        });
        up.once('connect', () => {
          client.write(Buffer.from([5, 0, 0, 1, 127, 0, 0, 1, 0, 0]));
          if (rest.length) up.write(rest);
          client.pipe(up);
          up.pipe(client);
          client.resume();
        });
        client.on('close', () => up.destroy());
        up.on('close', () => client.destroy());
      }
    };
    client.on('data', onData);
  });
  return new Promise((resolve) => server.listen(0, host, () => resolve(server)));
}

// A web server whose /slow answer sends `seconds` seconds of data, a chunk
// every 100 ms.
function startSlowSite(host) {
  const server = http.createServer((req, res) => {
    const seconds = Number(new URL(req.url, 'http://x').searchParams.get('s') || 6);
    res.writeHead(200, {'Content-Type': 'text/plain', 'Content-Length': String(seconds * 10 * 1024)});
    let n = 0;
    const t = setInterval(() => {
      res.write(Buffer.alloc(1024, 0x61));
      if (++n >= seconds * 10) {
        clearInterval(t);
        res.end();
      }
    }, 100);
    req.on('close', () => clearInterval(t));
  });
  return new Promise((resolve) => server.listen(0, host, () => resolve(server)));
}

// curl through the program as a SOCKS5 client; resolves with its exit code.
function curlThrough(programPort, url, maxSeconds) {
  const env = {...process.env};
  for (const k of Object.keys(env)) if (/_proxy$/i.test(k)) delete env[k];
  const child = spawn('curl', ['-s', '-o', '/dev/null', '--max-time', String(maxSeconds), '--socks5',
                               `127.0.0.1:${programPort}`, url], {env, stdio: 'ignore'});
  return {child, done: new Promise((resolve) => child.once('exit', (code) => resolve(code)))};
}

function screenshotPath(name) {
  const dir = process.env.SCREENSHOT_DIR;
  if (!dir) return null;
  fs.mkdirSync(dir, {recursive: true});
  return path.join(dir, name);
}

module.exports = {
  Program, launchBrowser, startSocks5, startSlowSite, curlThrough, waitForPort, sleep, screenshotPath
};
