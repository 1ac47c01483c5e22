'use strict';
// The panel script's reader of command replies, run outside the browser:
// replies are read as literals, never run, in every form the server writes.
const {describe, it} = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const vm = require('vm');

function loadScript() {
  const ctx = {
    document: {readyState: 'loading', addEventListener() {}, getElementById() { return null; }},
    window: {location: {hash: ''}, addEventListener() {}},
    setTimeout, clearTimeout, setInterval, clearInterval, console
  };
  vm.createContext(ctx);
  vm.runInContext(fs.readFileSync(path.join(__dirname, '..', '..', 'panel', 'assets', 'script.js'), 'utf8'), ctx);
  return ctx;
}

const panel = loadScript();
const read = (text) => JSON.parse(JSON.stringify(panel.readReply(text)));

describe('reply reader', () => {
  it('reads list rows with empty places, escapes and raw high bytes', () => {
    const calls = read('ajax_callback("load_proxy",[[12,"ab\\"c",,""],[7,"t\\tn\\nx\\x01\\\\","héllo",]]);\n');
    assert.deepEqual(calls, [['load_proxy', [[12, 'ab"c', null, ''], [7, 't\tn\nx\u0001\\', 'héllo']]]]);
  });

  it('reads objects with bare keys and the settings form', () => {
    const calls = read('ajax_callback("settings",{chain:[[1,3,92,0,0]], log_dir:"d\\\\x", ' +
                       'download_urls:"http://a/\\nhttp://b/", saved:1, now:9876543});');
    assert.deepEqual(calls, [['settings', {chain: [[1, 3, 92, 0, 0]], log_dir: 'd\\x',
                                           download_urls: 'http://a/\nhttp://b/', saved: 1, now: 9876543}]]);
    assert.deepEqual(read('ajax_callback("upload_proxy",{count:2, added:0});'),
                     [['upload_proxy', {count: 2, added: 0}]]);
    assert.deepEqual(read('ajax_callback("settings",{chain:null, saved:0, now:1});'),
                     [['settings', {chain: null, saved: 0, now: 1}]]);
  });

  it('reads the ping and an empty list as null values', () => {
    assert.deepEqual(read('ajax_callback("ping",null);'), [['ping', null]]);
    assert.deepEqual(read('ajax_callback("load_proxy",null);\n'), [['load_proxy', null]]);
  });

  it('never runs what a reply holds', () => {
    panel.hit = 0;
    for (const bad of ['ajax_callback("x",(hit=1));', 'hit=1;', 'ajax_callback("x",[1,hit=1]);',
                       'ajax_callback("x",{a:1}) ; hit=1', 'ajax_callback("x","unterminated);']) {
      assert.throws(() => panel.readReply(bad));
    }
    assert.equal(panel.hit, 0);
    const calls = read('ajax_callback("x",{__proto__:{polluted:1}, a:"<img src=x onerror=alert(1)>"});');
    assert.deepEqual(calls, [['x', {a: '<img src=x onerror=alert(1)>'}]]);
    assert.equal(({}).polluted, undefined);
  });

  it('encodes values so that the server decodes them back', () => {
    assert.equal(panel.encodeValue('a b+c&d=e%f'), 'a+b%2Bc%26d%3De%25f');
    assert.equal(panel.encodeValue('é'), '%C3%A9');
  });

  it('converts addresses both ways, first octet in the low byte', () => {
    assert.equal(panel.ipText(352321663), '127.0.0.21');
    assert.equal(panel.ipNumber('127.0.0.21'), 352321663);
    assert.equal(panel.ipNumber('255.255.255.255'), 4294967295);
    assert.equal(panel.ipNumber('1.2.3.256'), -1);
    assert.equal(panel.ipNumber('1.2.3'), -1);
  });
});
