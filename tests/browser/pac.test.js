'use strict';
// The program's proxy auto-configuration file in headless Chromium: the
// browser takes /proxy.pac from the proxy port, goes DIRECT to the host of a
// direct rule and through the program to another. The caller (the
// integration test test_chain_rules) runs the program, the sites and the
// chain's proxy, and checks which of them saw which request:
//   PAC_URL     http://ADDRESS:PORT/proxy.pac
//   DIRECT_URL  a page of a direct rule's host; CHAINED_URL one of no rule
//   SITE_IP     the address both names stand for in the browser
const {describe, it} = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const {chromium} = require('playwright-core');

const FLAGS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync',
               '--disable-default-apps'];

describe('proxy auto-configuration', () => {
  it('sends a direct host DIRECT and another through the program', async () => {
    const direct = new URL(process.env.DIRECT_URL), chained = new URL(process.env.CHAINED_URL);
    // The browser looks no name up: both map to the site's address.
    const rules = `MAP ${direct.hostname} ${process.env.SITE_IP}, MAP ${chained.hostname} ` +
                  `${process.env.SITE_IP}, EXCLUDE localhost`;
    const browser = await chromium.launch({
      executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, timeout: 60000,
      args: [...FLAGS, `--proxy-pac-url=${process.env.PAC_URL}`, `--host-resolver-rules=${rules}`]});
    try {
      const page = await browser.newPage({acceptDownloads: true});
      // The sites answer application/octet-stream: each page is a download.
      for (const url of [process.env.DIRECT_URL, process.env.CHAINED_URL]) {
        const [download] = await Promise.all([page.waitForEvent('download', {timeout: 20000}),
                                              page.goto(url, {timeout: 20000}).catch(() => null)]);
        assert.equal(await download.failure(), null, url);
        assert.equal(fs.statSync(await download.path()).size, 16, url);
      }
    } finally {
      await browser.close();
    }
  });
});
