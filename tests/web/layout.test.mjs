/* layout.test.mjs -- the page as it first loads from the real daemon (title, rows, logo box, version
 * rule, banner, sizes and colours of the layout), its drop-downs and pop-up frame, the manual
 * button, and what it does with replies routed in the browser: a runtime reply with "oem", a
 * status of 20 processors, a configuration the daemon could not read, and HTTPS that did not
 * start. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import * as h from './support/harness.mjs';

const WEB_DIR = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'web');

const s = h.suite(() => h.configuration({channels: [
    h.channel({url: '/media/first.mp4', memo: 'first memo'}),
    h.channel({url: '/media/second/with/a/rather/long/path/that/does/not/fit/into/its/cell/' +
                   'at/all/second.ts', memo: 'a memo that is far too long for its cell'}),
]}));

/* The real runtime reply, changed by the test's own function. */
async function routeRuntime(page, change)
{
    await page.route('**/runtime', async (route) => {
        const response = await route.fetch();
        const json = await response.json();
        change(json);
        await route.fulfill({response, json});
    });
}

function boxOf(page, selector)
{
    return page.evaluate((sel) => {
        const r = document.querySelector(sel).getBoundingClientRect();
        return {x: r.left + window.scrollX, y: r.top + window.scrollY, width: r.width, height: r.height};
    }, selector);
}

function style(page, selector, property)
{
    return page.evaluate(([sel, prop]) => getComputedStyle(document.querySelector(sel))[prop],
                         [selector, property]);
}

test('first load: title, rows, logo box, version rule, caution banner, only the daemon asked', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await h.waitCell(page, 2, 3, /^IDLE$/);

    assert.equal(await page.title(), 'Strovanta!');
    assert.equal(await page.locator('#tbl_channels tbody tr').count(), 64);
    assert.equal(await page.textContent('#para_logo'), 'Strovanta!');
    assert.equal(await page.textContent('#para_version'), 'Version 6.2.5.1a');
    assert.match(await style(page, '#para_logo', 'backgroundImage'), /^linear-gradient\(to right, /);
    assert.equal(await style(page, '#para_logo', 'webkitBackgroundClip'), 'text');
    assert.match(await style(page, '#para_logo', 'fontSize'), /^20px$/);
    assert.equal(await style(page, '#para_version', 'color'), 'rgb(224, 224, 128)');

    /* The version rule: no RTSP target, no time-shift tab. */
    const formats = await page.$$eval('#sel_tgt_fmt option', (opts) => opts.map((o) => o.value));
    assert.ok(!formats.includes('rtsp'), formats.join());
    assert.ok(formats.includes('udp') && formats.includes('httpmp4'));
    assert.equal(await page.isVisible('#tab_adv_fmt .tablinks[data-page=div_fmt_timeshift]'), false);

    /* No password: the caution banner names the daemon, with "CAUTION" in bold. */
    assert.equal(await page.isVisible('#div_insecure'), true);
    const banner = await page.textContent('#div_insecure');
    assert.match(banner, /^CAUTION Your RUXOD web interface is INSECURE! .* Please set up web login password in Global Settings immediately!$/);
    assert.equal(await page.textContent('#div_insecure b'), 'CAUTION');

    /* The two channels, the rest empty; row 1 selected. */
    assert.deepEqual([await h.cellText(page, 1, 0), await h.cellText(page, 1, 1), await h.cellText(page, 1, 2)],
                     ['1', '/media/first.mp4', 'first memo']);
    assert.equal(await page.getAttribute('#tbl_channels tbody tr:nth-child(2) td:nth-child(2)', 'title'),
                 await h.cellText(page, 2, 1));
    assert.equal(await h.cellText(page, 3, 0), '');
    assert.equal(await h.cellText(page, 64, 3), '');
    assert.equal(await h.stateIcon(page, 1), 'idle.png');
    assert.equal(await style(page, '#tbl_channels tbody tr:nth-child(1)', 'backgroundColor'), 'rgb(60, 90, 140)');
    assert.equal(await style(page, '#tbl_channels tbody tr:nth-child(2)', 'backgroundColor'), 'rgb(100, 100, 100)');
    assert.equal(await style(page, '#tbl_channels tbody tr:nth-child(3)', 'backgroundColor'), 'rgb(110, 110, 110)');
    assert.equal(await page.isVisible('#img_oem'), false);
    assert.equal(await page.isVisible('#vid_preview'), false);
    assert.equal(await page.isVisible('#btn_manual'), true);

    /* Hovering a row with a channel marks it; leaving gives its stripe back. */
    await page.hover('#tbl_channels tbody tr:nth-child(2) td:nth-child(3)');
    assert.equal(await style(page, '#tbl_channels tbody tr:nth-child(2)', 'backgroundColor'), 'rgb(60, 90, 140)');
    await page.hover('#tbl_channels tbody tr:nth-child(3) td:nth-child(3)');
    assert.equal(await style(page, '#tbl_channels tbody tr:nth-child(2)', 'backgroundColor'), 'rgb(100, 100, 100)');
    assert.equal(await style(page, '#tbl_channels tbody tr:nth-child(3)', 'backgroundColor'), 'rgb(110, 110, 110)');

    /* The layout's measures. */
    assert.equal((await boxOf(page, '#div_channels')).height, 595 + 2);
    assert.equal(await style(page, '#div_channels', 'overflowY'), 'scroll');
    assert.equal((await boxOf(page, '#tbl_channels tbody tr:nth-child(5)')).height, 24);
    const widths = await page.$$eval('#tbl_channels thead th', (cells) => cells.map((c) => c.getBoundingClientRect().width));
    assert.deepEqual(widths, [20, 400, 100, 180]);
    assert.equal(await style(page, '#tbl_channels tbody td:nth-child(2)', 'textOverflow'), 'ellipsis');
    assert.equal(await style(page, '#tbl_channels tbody td:nth-child(2)', 'fontWeight'), '700');
    assert.equal(await style(page, '#tbl_channels tbody td:nth-child(4)', 'fontWeight'), '400');
    assert.equal(await style(page, '#tbl_channels tbody td:nth-child(4)', 'paddingLeft'), '20px');
    assert.equal(await style(page, '#tbl_channels tbody td:nth-child(4)', 'backgroundPosition'), '2px 50%');
    assert.equal((await boxOf(page, '#btn_start')).height, 30);
    assert.equal((await boxOf(page, '#btn_preview')).width, 120);
    assert.equal((await boxOf(page, '#div_logo')).width, 250);
    assert.equal(await style(page, '#div_logo', 'backgroundColor'), 'rgb(0, 0, 0)');
    assert.equal((await boxOf(page, '#div_insecure')).width, 800 + 2 * 10 + 2);
    assert.equal(await style(page, '#div_insecure', 'backgroundColor'), 'rgb(255, 255, 128)');
    assert.equal(await style(page, 'body', 'color'), 'rgb(34, 34, 34)');
    assert.equal(await style(page, 'body', 'paddingLeft'), '10px');
    /* Left panel, right panel beside it, the CPU table below both. */
    const left = await boxOf(page, '#div_left_panel');
    const right = await boxOf(page, '#div_right_panel');
    const cpu = await boxOf(page, '#div_cpu');
    assert.ok(right.x >= left.x + left.width, JSON.stringify({left, right}));
    assert.ok(Math.abs(right.y - left.y) < 1);
    assert.ok(cpu.y >= left.y + left.height && cpu.y >= right.y + right.height);
    const nCpus = await page.locator('#tbl_cpu td').count();
    assert.ok(nCpus >= 1);
    assert.equal(await page.locator('#tbl_cpu tr').count(), Math.ceil(nCpus / 16));
    assert.equal(await style(page, '#tbl_cpu td', 'width'), '40px');
    assert.match(await page.textContent('#tbl_cpu td'), /^\d+%$/);

    /* No request to anything but the daemon (the page's own icon link is no request), no error. */
    const others = log.requests.filter((url) => !url.startsWith(h.BASE + '/'));
    assert.deepEqual(others, []);
    assert.deepEqual(h.requestsMatching(log, /^\/ruxooem\.png/), []);
    assert.deepEqual(log.errors, []);
    await h.screenshot(page, 'first-load');
    await context.close();
});

test('drop-downs open while the pointer is over their mark and close when it leaves', async () => {
    const {context, page} = await h.newPage(s.browser);
    await h.openManager(page);
    for (const [button, item] of [['btn_start', 'mnu_start_all'], ['btn_stop', 'mnu_stop_all']]) {
        assert.equal(await page.isVisible('#' + item), false);
        await page.hover(`#${button} .dropdown_mark`);
        await page.waitForSelector('#' + item, {state: 'visible', timeout: h.WAIT_MS});
        if (button === 'btn_start')
            await h.screenshot(page, 'drop-down');
        /* Over the menu itself it stays open. */
        await page.hover('#' + item);
        assert.equal(await page.isVisible('#' + item), true);
        await page.hover('#div_logo');
        await page.waitForSelector('#' + item, {state: 'hidden', timeout: h.WAIT_MS});
    }
    await context.close();
});

test('pop-up frame: opens at 200/350, X, Cancel and Escape hide it', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    const ways = [
        () => page.click('#div_global_config .popup_box_close'),
        () => page.click('#div_global_config .popup_box_foot button:last-child'),
        () => page.keyboard.press('Escape'),
    ];
    for (const hide of ways) {
        await page.click('#btn_global_config');
        assert.equal(await page.isVisible('#div_global_config'), true);
        if (hide === ways[0]) {
            const box = await boxOf(page, '#div_global_config');
            assert.deepEqual([box.x, box.y, box.width], [350, 200, 520 + 2 * 4]);
            assert.equal(await page.textContent('#div_global_config .popup_box_title'), 'Global SettingsX');
            assert.equal(await style(page, '#div_global_config', 'borderTopColor'), 'rgb(70, 130, 180)');
            assert.equal(await style(page, '#div_global_config', 'borderTopWidth'), '4px');
            assert.equal(await style(page, '#div_global_config .popup_box_title', 'color'), 'rgb(255, 255, 255)');
            await h.screenshot(page, 'pop-up-box');
        }
        await hide();
        assert.equal(await page.isVisible('#div_global_config'), false);
    }
    /* Escape with no box open and nothing being edited changes nothing. */
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('.popup_box:visible').count(), 0);
    assert.deepEqual(log.errors, []);
    await context.close();
});

test('Online Manual opens the runtime reply\'s web site in a new window', async () => {
    const {context, page} = await h.newPage(s.browser);
    const runtime = await (await h.daemonFetch('/runtime')).json();
    await context.route(runtime.website + '**', (route) => route.fulfill({contentType: 'text/plain', body: 'manual'}));
    await h.openManager(page);
    const [popup] = await Promise.all([context.waitForEvent('page'), page.click('#btn_manual')]);
    await popup.waitForLoadState();
    assert.equal(popup.url().replace(/\/$/, ''), runtime.website.replace(/\/$/, ''));
    await context.close();
});

test('a runtime reply with "oem" hides the manual button and shows the logo image', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await routeRuntime(page, (json) => { json.oem = 'x'; });
    const logo = fs.readFileSync(path.join(WEB_DIR, 'stopping.png'));
    await page.route('**/ruxooem.png', (route) => route.fulfill({contentType: 'image/png', body: logo}));
    await h.openManager(page);
    await page.waitForSelector('#img_oem', {state: 'visible', timeout: h.WAIT_MS});
    assert.equal(await page.isVisible('#btn_manual'), false);
    assert.equal(await page.isVisible('#div_logo'), false);
    assert.equal(await page.getAttribute('#img_oem', 'src'), '/ruxooem.png');
    assert.equal(h.requestsMatching(log, /^\/ruxooem\.png$/).length >= 1, true);
    assert.deepEqual(log.errors, []);
    await context.close();
});

test('CPU table: 16 cells a row and colours from green to red', async () => {
    const {context, page} = await h.newPage(s.browser);
    const loads = [0, 50, 75, 100, 10, 49, 51, 99, 1, 2, 3, 4, 5, 6, 7, 8, 25, 60, 90, 33];
    await page.route('**/status', (route) => route.fulfill({
        contentType: 'application/json',
        body: JSON.stringify({channels: [{state: 'idle', status: 'IDLE'}], cpu: loads}),
    }));
    await h.openManager(page);
    await page.waitForFunction(() => document.querySelectorAll('#tbl_cpu td').length === 20, null,
                               {timeout: h.WAIT_MS});
    const rows = await page.$$eval('#tbl_cpu tr', (trs) => trs.map((tr) => tr.cells.length));
    assert.deepEqual(rows, [16, 4]);
    const cells = await page.$$eval('#tbl_cpu td', (tds) => tds.map((td) => [td.textContent, getComputedStyle(td).backgroundColor]));
    assert.deepEqual(cells[0], ['0%', 'rgb(55, 255, 0)']);
    assert.deepEqual(cells[1], ['50%', 'rgb(255, 255, 0)']);
    assert.deepEqual(cells[2], ['75%', 'rgb(255, 130, 0)']);
    assert.deepEqual(cells[3], ['100%', 'rgb(255, 5, 0)']);
    assert.deepEqual(cells[4], ['10%', 'rgb(95, 255, 0)']);
    assert.deepEqual(cells[19], ['33%', 'rgb(187, 255, 0)']);
    await h.screenshot(page, 'cpu-colours');
    await context.close();
});

test('a configuration the daemon could not read: its reason, as text, in the banner\'s place', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    const reason = 'cannot read /etc/ruxod/ruxod.json: <b>unexpected</b> "}" at line 3';
    await page.route('**/config', (route) => route.fulfill({status: 503, contentType: 'text/plain', body: reason + '\n'}));
    await h.openManager(page);
    await page.waitForSelector('#div_insecure', {state: 'visible', timeout: h.WAIT_MS});
    assert.equal(await page.textContent('#div_insecure'), 'The configuration file could not be read: ' + reason);
    assert.equal(await page.locator('#div_insecure b').count(), 0);
    /* The status is still polled. */
    const nBefore = h.requestsMatching(log, /^\/status$/).length;
    await h.waitUntil(() => h.requestsMatching(log, /^\/status$/).length >= nBefore + 2, 'two more status requests');
    assert.equal(await h.cellText(page, 1, 0), '');
    assert.deepEqual(log.errors.filter((e) => !/status of 503/.test(e)), []);
    await h.screenshot(page, 'configuration-unreadable');
    await context.close();
});

test('HTTPS asked for but not running: the banner says so, beside the caution', async () => {
    const cases = [
        {pass: 'secret', ssl: true, https: false, lines: ['HTTPS is not active']},
        {pass: '', ssl: true, https: false, lines: ['CAUTION', 'HTTPS is not active']},
        {pass: 'secret', ssl: true, https: true, lines: []},
        {pass: 'secret', ssl: false, https: false, lines: []},
        {pass: 'secret', ssl: true, https: undefined, lines: []},
    ];
    for (const c of cases) {
        const {context, page} = await h.newPage(s.browser);
        await routeRuntime(page, (json) => {
            if (c.https === undefined)
                delete json.https;
            else
                json.https = c.https;
        });
        await page.route('**/config', (route) => route.fulfill({
            contentType: 'application/json',
            body: JSON.stringify(h.configuration({loginPass: c.pass, global: {sslEnable: c.ssl}})),
        }));
        await h.openManager(page);
        await page.waitForFunction(() => window.jsonConfig !== null, null, {timeout: h.WAIT_MS});
        const lines = await page.$$eval('#div_insecure p', (ps) => ps.map((p) => p.textContent));
        const kinds = lines.map((l) => (/^(CAUTION|HTTPS is not active)/.exec(l) || [l, l])[1]);
        assert.deepEqual(kinds, c.lines, JSON.stringify(c));
        if (c.lines.includes('HTTPS is not active')) {
            assert.ok(lines.includes('HTTPS is not active: the certificate or key could not be used. This page is sent without encryption.'));
            if (c.pass === '')
                await h.screenshot(page, 'https-not-active');
        }
        assert.equal(await page.isVisible('#div_insecure'), c.lines.length > 0);
        await context.close();
    }
});
