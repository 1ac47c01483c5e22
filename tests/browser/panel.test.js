'use strict';
// End-to-end tests of the control panel in headless Chromium against the
// running program. Started by tests/integration/test_panel_browser.cc,
// which prepares MEROVANE_HOME (registry and a seeded database) and passes
// MEROVANE_BIN, MEROVANE_HOME, MEROVANE_PORT, MEROVANE_ROOT, SCREENSHOT_DIR.
const {describe, it, before, after} = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

const PORT = Number(process.env.MEROVANE_PORT);
const ROOT = process.env.MEROVANE_ROOT;
const BASE = `http://localhost:${PORT}/${ROOT}/`;
const SEEDED = 5;

let program, browser, page, pageErrors = [];

async function shot(name, fullPage) {
  const file = h.screenshotPath(name);
  if (file) await page.screenshot({path: file, fullPage: !!fullPage});
}

async function openPanel(hash) {
  await page.goto(BASE + (hash || ''), {waitUntil: 'domcontentloaded'});
  await page.waitForSelector('#channel.up', {timeout: 15000});
}

async function listCount() {
  return page.textContent('#list_count');
}

async function waitCount(text) {
  await page.waitForFunction((t) => {
    const c = document.getElementById('list_count');
    return c && c.textContent.indexOf(t) === 0;
  }, text, {timeout: 15000});
}

// Texts of one column of the shown rows.
async function column(cls) {
  return page.$$eval(`#proxy_rows td.${cls}`, (tds) => tds.map((td) => td.textContent));
}

function rowByAddress(address) {
  return page.locator('#proxy_rows tr.proxy').filter({has: page.locator('td.address', {hasText: address})});
}

async function resetFilters() {
  await page.evaluate(() => {
    for (const b of document.querySelectorAll('input[id^=f_proto_]')) b.checked = false;
    document.getElementById('f_state').value = 'all';
    document.getElementById('f_anon').value = '0';
    document.getElementById('f_blocked').value = '0';
    document.getElementById('f_search').value = '';
  });
}

describe('control panel in a browser', {timeout: 240000}, () => {
  before(async () => {
    program = new h.Program(process.env.MEROVANE_BIN, process.env.MEROVANE_HOME, PORT);
    await program.start();
    browser = await h.launchBrowser();
    page = await browser.newPage({viewport: {width: 1280, height: 760}});
    page.on('pageerror', (e) => pageErrors.push(e.message));
  });

  after(async () => {
    if (browser) await browser.close();
    if (program) {
      await program.stop();
      // A sanitizer build reports on the program's standard error.
      assert.doesNotMatch(program.log, /AddressSanitizer|LeakSanitizer|runtime error:/, program.log);
    }
  });

  it('opens the panel: fixed structure, live push channel, seeded proxies', async () => {
    await openPanel();
    assert.equal(await page.title(), 'Merovane');
    assert.equal(await page.getAttribute('#top_title iframe#flow', 'width'), '1');
    const tabs = await page.$$eval('#top_menu td[id]', (tds) => tds.map((td) => td.id + '=' + td.textContent));
    assert.deepEqual(tabs, ['proxy=Proxy Servers', 'settings=Settings', 'status=Status', 'about=About']);
    // The page as served, before the script adds to it.
    const served = await (await page.request.get(BASE + 'index.html')).text();
    const structure = await page.evaluate((html) => {
      const d = new DOMParser().parseFromString(html, 'text/html');
      const f = d.querySelector('#top_title > iframe#flow');
      return {
        title: d.title, frame: f && [f.getAttribute('src'), f.getAttribute('width'), f.getAttribute('height')],
        cells: [...d.querySelectorAll('#top_menu td')].map((td) => td.id),
        links: [...d.querySelectorAll('link[href], script[src]')].map((e) => e.getAttribute('href') || e.getAttribute('src')),
        body: d.body.children.length
      };
    }, served);
    assert.deepEqual(structure, {title: 'Merovane', frame: ['about:blank', '1', '1'],
                                 cells: ['proxy', 'settings', 'status', 'about'],
                                 links: ['favicon.ico', 'style.css', 'script.js'], body: 1});
    const frameFns = await page.evaluate(() => {
      const w = document.getElementById('flow').contentWindow;
      return ['R', 'A', 'I', 'P', 'C'].map((n) => typeof w[n]);
    });
    assert.deepEqual(frameFns, ['function', 'function', 'function', 'function', 'function']);
    // The style sheet is served as text/html and must still apply.
    assert.equal(await page.$eval('#top', (t) => getComputedStyle(t).backgroundColor), 'rgb(28, 58, 110)');
    // Names the page does not handle are ignored.
    await page.evaluate(() => window.ajax_callback('no_such_reply', {a: 1}));
    await waitCount(`${SEEDED} proxies`);
    assert.equal(await page.textContent('#my_ip'), 'not known yet');
    assert.deepEqual(pageErrors, []);
  });

  it('shows a host name holding markup as text and runs nothing', async () => {
    const hosts = await column('host');
    assert.ok(hosts.includes('<img src=x onerror=window.__xss=1>'), hosts.join('|'));
    assert.equal(await page.evaluate(() => window.__xss), undefined);
    assert.equal(await page.locator('img[src="x"]').count(), 0);
  });

  it('adds a pasted list and shows the summary and the rows', async () => {
    await page.fill('#upload_list', '127.0.0.21:8001\n127.0.0.21 8002\nseen at 127.0.0.22:3128 yesterday\n' +
                                        '127.0.20.1:1080\n');
    await page.click('#upload_button');
    await page.waitForFunction(() => /^Found/.test(document.getElementById('upload_result').textContent));
    assert.equal(await page.textContent('#upload_result'), 'Found 4 proxies, 3 new, 1 already known.');
    await waitCount(`${SEEDED + 3} proxies`);
    const addresses = await column('address');
    for (const a of ['127.0.0.21:8001', '127.0.0.21:8002', '127.0.0.22:3128'])
      assert.ok(addresses.includes(a), a);
  });

  it('filters by protocol, state and anonymity', async () => {
    await page.check('#f_proto_SOCKS5');
    await waitCount('2 proxies');
    assert.deepEqual((await column('address')).sort(), ['127.0.20.1:1080', '127.0.20.5:9050']);
    await page.uncheck('#f_proto_SOCKS5');
    await waitCount(`${SEEDED + 3} proxies`);
    await page.selectOption('#f_anon', '2');
    await waitCount('1 proxy');
    assert.deepEqual(await column('address'), ['127.0.20.3:8080']);
    await page.selectOption('#f_anon', '0');
    await page.selectOption('#f_state', 'dead');
    await waitCount('1 proxy');
    assert.deepEqual(await column('address'), ['127.0.20.4:1081']);
    await page.selectOption('#f_state', 'all');
    await waitCount(`${SEEDED + 3} proxies`);
  });

  it('orders by a column heading, both ways', async () => {
    await page.click('#proxy_list th.col_rank');
    await page.waitForSelector('#proxy_list th.col_rank.desc');
    await page.waitForFunction(() => document.querySelector('#proxy_rows td.rank').textContent === '50');
    let ranks = (await column('rank')).map(Number);
    assert.deepEqual(ranks, [...ranks].sort((a, b) => b - a));
    await page.click('#proxy_list th.col_rank');
    await page.waitForSelector('#proxy_list th.col_rank.asc');
    await page.waitForFunction(() => document.querySelector('#proxy_rows td.rank').textContent === '0');
    ranks = (await column('rank')).map(Number);
    assert.deepEqual(ranks, [...ranks].sort((a, b) => a - b));
    // Addresses in dotted order (the stored number has the first octet low).
    await page.click('#proxy_list th.col_address');
    await page.waitForSelector('#proxy_list th.col_address.asc');
    assert.deepEqual(await column('address'), [
      '127.0.0.21:8001', '127.0.0.21:8002', '127.0.0.22:3128', '127.0.20.1:1080', '127.0.20.2:3128',
      '127.0.20.3:8080', '127.0.20.4:1081', '127.0.20.5:9050'
    ]);
    await page.click('#proxy_list th.col_rank');
    await page.waitForSelector('#proxy_list th.col_rank.desc');
  });

  it('blocks a proxy and finds it in the blocked list', async () => {
    await rowByAddress('127.0.20.2:3128').locator('button.block').click();
    await page.waitForSelector('#notice.ok');
    assert.match(await page.textContent('#notice'), /127\.0\.20\.2:3128 blocked/);
    await waitCount(`${SEEDED + 2} proxies`);
    assert.ok(!(await column('address')).includes('127.0.20.2:3128'));
    await page.selectOption('#f_blocked', '1');
    await waitCount('1 proxy (blocked)');
    assert.deepEqual(await column('address'), ['127.0.20.2:3128']);
    assert.equal(await rowByAddress('127.0.20.2:3128').locator('button.unblock').count(), 1);
    await page.selectOption('#f_blocked', '0');
    await waitCount(`${SEEDED + 2} proxies`);
  });

  it('re-checks a proxy: pushed check lines show progress and then the new state', async () => {
    // Nothing listens at 127.0.0.21:8001: every step fails and the check
    // ends with "not working", pushed through the flow channel.
    const row = rowByAddress('127.0.0.21:8001');
    assert.equal(await row.locator('.badge.unchecked').count(), 1);
    const seen = page.evaluate(() => new Promise((resolve) => {
      const original = window.ajax_callback;
      const lines = [];
      window.ajax_callback = function (name, value) {
        if (name === 'check_proxy') lines.push(value);
        if (name === 'check_proxy' && value[0] === 1) resolve(lines);
        return original(name, value);
      };
      setTimeout(() => resolve(lines), 20000);
    }));
    await row.locator('button.recheck').click();
    const lines = await seen;
    assert.ok(lines.length >= 2, JSON.stringify(lines));
    assert.equal(lines[lines.length - 1][0], 1);
    assert.equal(lines[lines.length - 1][1], 127 + (0 << 8) + (0 << 16) + 21 * 16777216);
    await row.locator('.badge.dead').waitFor({timeout: 5000});
    assert.equal(await row.locator('td.state img[src="no.png"]').count(), 1);
    assert.equal(await row.locator('td.n_err').textContent(), '1');
    await page.waitForSelector('#recent_checks .recent.bad');
    await shot('proxy-list.png');
  });

  it('saves a chain of two links and shows it again after a reload', async () => {
    await page.click('#settings');
    await page.waitForSelector('#chain_links .link');
    while ((await page.locator('#chain_links .link').count()) > 0)
      await page.locator('#chain_links .link button.remove').first().click();
    await page.click('#chain_add');
    await page.click('#chain_add');
    const links = page.locator('#chain_links .link');
    await links.nth(0).locator('select.selection').selectOption('2');
    for (const box of await links.nth(0).locator('input.proto').all()) await box.setChecked(false);
    await links.nth(0).locator('input.proto[value="16"]').check();
    await links.nth(1).locator('select.selection').selectOption('5');
    await links.nth(1).locator('input.fixed_addr').fill('127.0.0.5:1080');
    for (const box of await links.nth(1).locator('input.proto').all()) await box.setChecked(false);
    await links.nth(1).locator('input.proto[value="16"]').check();
    await page.check('#set_block_transparent');
    await page.selectOption('#set_log_level', '1');
    await page.fill('#set_log_dir', '/tmp/merovane logs');
    await page.click('#settings_save');
    await page.waitForFunction(() => document.getElementById('save_result').textContent === 'Settings saved.');
    await page.evaluate(() => window.scrollTo(0, 0));
    await shot('settings.png', true);

    await page.reload({waitUntil: 'domcontentloaded'});
    await page.waitForSelector('#view_settings #chain_links .link');
    const read = await page.$$eval('#chain_links .link', (ls) => ls.map((l) => ({
      selection: l.querySelector('select.selection').value,
      protocols: [...l.querySelectorAll('input.proto')].filter((b) => b.checked).map((b) => b.value),
      fixed: l.querySelector('input.fixed_addr').value
    })));
    assert.deepEqual(read, [
      {selection: '2', protocols: ['16'], fixed: ''},
      {selection: '5', protocols: ['16'], fixed: '127.0.0.5:1080'}
    ]);
    assert.equal(await page.isChecked('#set_block_transparent'), true);
    assert.equal(await page.inputValue('#set_log_level'), '1');
    assert.equal(await page.inputValue('#set_log_dir'), '/tmp/merovane logs');
  });

  it('shows the Listen row and a live chain while a transfer runs', async () => {
    const socks = await h.startSocks5('127.0.91.5');
    const site = await h.startSlowSite('127.0.91.9');
    let curl;
    try {
      // One fixed link: the local SOCKS5 proxy.
      const links = page.locator('#chain_links .link');
      await links.nth(0).locator('button.remove').click();
      await page.locator('#chain_links .link input.fixed_addr').fill(`127.0.91.5:${socks.address().port}`);
      await page.selectOption('#set_log_level', '0');
      await page.click('#settings_save');
      await page.waitForFunction(() => document.getElementById('save_result').textContent === 'Settings saved.');

      curl = h.curlThrough(PORT, `http://127.0.91.9:${site.address().port}/slow?s=12`, 30);
      await page.click('#status');
      await page.waitForFunction(() => {
        const t = document.getElementById('status_page').textContent;
        return /Listen/.test(t) && /Chain-L/.test(t) && /Chain-R/.test(t);
      }, null, {timeout: 15000});
      const text = await page.textContent('#status_page');
      assert.match(text, /127\.0\.91\.9/);
      assert.equal(await page.locator('#status_page script').count(), 0);
      // Let a refresh or two show the transfer under way.
      const shown = await page.textContent('#status_time');
      await page.waitForFunction((t) => document.getElementById('status_time').textContent !== t, shown,
                                 {timeout: 10000});
      await shot('status.png');
    } finally {
      if (curl) {
        curl.child.kill('SIGTERM');
        await curl.done;
      }
      socks.close();
      site.close();
    }
  });

  it('fits a 400 px window and a 1280 px one: no sideways scrolling, no overlap', async () => {
    const shown = {proxy: '#proxy_rows tr', settings: '#chain_links .link'};
    const layout = async (view) => {
      await page.click('#' + view);
      await page.waitForSelector(shown[view], {state: 'visible', timeout: 15000});
      return page.evaluate(() => {
        const rect = (sel) => {
          const e = document.querySelector(sel);
          return e ? e.getBoundingClientRect() : null;
        };
        const product = rect('#product'), info = rect('.header_info');
        const overlap = !!(product && info && info.width > 0 &&
                           product.left < info.right && info.left < product.right &&
                           product.top < info.bottom && info.top < product.bottom);
        return {scroll: document.documentElement.scrollWidth, width: window.innerWidth, overlap};
      });
    };
    for (const width of [400, 1280]) {
      await page.setViewportSize({width, height: 760});
      await openPanel();
      for (const view of ['proxy', 'settings']) {
        const l = await layout(view);
        assert.ok(l.scroll <= l.width, `${view} at ${width} px is ${l.scroll} px wide`);
        assert.equal(l.overlap, false, `the title overlaps the header at ${width} px`);
        if (width === 400) await shot(`narrow-${view}.png`, true);
      }
    }
    const viewport = await page.getAttribute('meta[name=viewport]', 'content');
    assert.match(viewport, /width=device-width/);
    assert.deepEqual(pageErrors, []);
  });

  it('shows the about page', async () => {
    await page.click('#about');
    await page.waitForFunction(() => document.getElementById('about_page').textContent.indexOf('Merovane') >= 0);
    await shot('about.png');
  });

  it('shows the push channel down while the program is stopped, and its return', async () => {
    await page.click('#proxy');
    await page.waitForSelector('#channel.up');
    await program.stop();
    const t0 = Date.now();
    await page.waitForSelector('#channel.down', {timeout: 10000});
    const downAfter = Date.now() - t0;
    await shot('channel-down.png');
    await program.start();
    const t1 = Date.now();
    await page.waitForSelector('#channel.up', {timeout: 10000});
    console.log(`# push channel: down shown ${downAfter} ms after the stop, ` +
                `back ${Date.now() - t1} ms after the restart`);
  });

  it('stays usable with 10,000 proxies (paged list)', async () => {
    const lines = [];
    for (let i = 0; i < 10000; i++) lines.push(`127.1.${i >> 8}.${i & 255}:${1024 + (i % 50000)}`);
    await page.evaluate((text) => {
      document.getElementById('upload_list').value = text;
    }, lines.join('\n'));
    const t0 = Date.now();
    await page.click('#upload_button');
    await page.waitForFunction(() => /^Found 10000/.test(document.getElementById('upload_result').textContent),
                               null, {timeout: 60000});
    const uploadMs = Date.now() - t0;
    await waitCount('10007 proxies');
    const t1 = Date.now();
    await page.click('#f_refresh');
    await page.waitForFunction(() => document.querySelectorAll('#proxy_rows tr.proxy').length === 100 &&
                                     document.getElementById('list_count').textContent === '10007 proxies');
    const listMs = Date.now() - t1;
    assert.equal(await page.textContent('#page_info'), 'Page 1 of 101');
    const t2 = Date.now();
    await page.click('#page_next');
    await page.waitForFunction(() => document.getElementById('page_info').textContent === 'Page 2 of 101');
    const pageMs = Date.now() - t2;
    const t3 = Date.now();
    await page.fill('#f_search', '127.1.38.');
    await page.waitForFunction(() => document.getElementById('list_count').textContent === '256 of 10007 proxies');
    const searchMs = Date.now() - t3;
    console.log(`# 10,000 proxies: upload+list ${uploadMs} ms, reload of the list ${listMs} ms, ` +
                `next page ${pageMs} ms, text search ${searchMs} ms`);
    assert.deepEqual(pageErrors, []);
  });
});
