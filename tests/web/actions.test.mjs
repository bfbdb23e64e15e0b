/* actions.test.mjs -- the channel buttons against the real daemon and its scripted fake transcoder:
 * Start and Stop with the running text as it arrives, a refused start and its alert, a channel
 * that stops only when killed, Start All and Stop All from their drop-downs, and a memo and a
 * folder's file name that look like markup shown as text. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import * as h from './support/harness.mjs';

const MARKUP_FILE = '<img src=x onerror=window.__x=1>';
const MARKUP_MEMO = '<img src=x onerror=window.__y=1><b>memo</b>';

const s = h.suite((daemon) => {
    const empty = daemon.file('empty');
    const folder = daemon.file('folder');
    fs.mkdirSync(empty);
    fs.mkdirSync(folder);
    fs.writeFileSync(`${folder}/${MARKUP_FILE}`, 'x');
    return h.configuration({channels: [
        h.channel({url: '/media/one.mp4', memo: 'plain'}),           /* 1 */
        h.channel({url: empty, memo: 'empty folder'}),                /* 2: refused, no files */
        h.channel({url: folder, memo: MARKUP_MEMO}),                  /* 3: plays the odd name */
        h.channel({url: '/media/four.mp4', mode: 'nosigint'}),        /* 4: only a kill ends it */
        h.channel({url: '/media/five.mp4'}),                          /* 5 */
    ]});
});


test('Start, the running text as it arrives, Stop; Start on a running channel sends nothing', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await h.waitCell(page, 1, 3, /^IDLE$/);
    await page.click('#btn_start');
    /* "RUNNING" at once, then the transcoder's progress in stages: wait for the whole form. */
    await h.waitCell(page, 1, 3, /^RUNNING$|^\d/);
    const text = await h.waitCell(page, 1, 3, h.RUNNING_TEXT);
    assert.match(text, h.RUNNING_TEXT);
    assert.equal(await h.stateIcon(page, 1), 'running.png');
    assert.equal((await h.daemonStates())[0], 'running');
    await h.screenshot(page, 'channel-running');

    const nStarts = h.requestsMatching(log, /^\/channel1\?start$/).length;
    assert.equal(nStarts, 1);
    await page.click('#btn_start');
    /* Preview is off for a running channel with a stream target. */
    assert.equal(await page.isDisabled('#btn_preview'), true);

    await page.click('#btn_stop');
    await h.waitCell(page, 1, 3, /^IDLE$/);
    assert.equal(await h.stateIcon(page, 1), 'idle.png');
    await h.waitDaemonState(0, 'idle');
    assert.equal(h.requestsMatching(log, /^\/channel1\?start$/).length, 1);
    assert.equal(h.requestsMatching(log, /^\/channel1\?stop$/).length, 1);
    assert.equal(await page.isDisabled('#btn_preview'), false);
    /* The model follows the buttons. */
    assert.equal(await page.evaluate(() => jsonConfig.channels[0].enable), false);
    assert.deepEqual(log.dialogs, []);
    assert.deepEqual(log.errors, []);
    await context.close();
});

test('a refused start shows its reason; the model enables the channel all the same', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await h.selectRow(page, 2);
    const dialog = page.waitForEvent('dialog');
    await page.click('#btn_start');
    assert.equal((await dialog).message(), 'Channel start error! source url not valid');
    assert.equal(await page.evaluate(() => jsonConfig.channels[1].enable), true);
    assert.equal(await h.stateIcon(page, 2), 'idle.png');
    assert.deepEqual(log.errors.filter((e) => !/status of 400/.test(e)), []);
    /* The daemon keeps it enabled; stop it again so the other tests find it idle and off. */
    await page.click('#btn_stop');
    await h.waitUntil(() => h.requestsMatching(log, /^\/channel2\?stop$/).length === 1, 'the stop');
    await context.close();
});

test('a transcoder that ignores the stop shows STOPPING until the second Stop kills it', async () => {
    const {context, page} = await h.newPage(s.browser);
    await h.openManager(page);
    await h.selectRow(page, 4);
    await page.click('#btn_start');
    await h.waitCell(page, 4, 3, h.RUNNING_TEXT);
    await page.click('#btn_stop');
    await h.waitCell(page, 4, 3, /^STOPPING$/);
    assert.equal(await h.stateIcon(page, 4), 'stopping.png');
    await h.screenshot(page, 'channel-stopping');
    await page.click('#btn_stop');
    await h.waitCell(page, 4, 3, /^IDLE$/);
    await h.waitDaemonState(3, 'idle');
    await context.close();
});

test('a memo and a file name that look like markup are shown as text', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    assert.equal(await h.cellText(page, 3, 2), MARKUP_MEMO);
    await h.selectRow(page, 3);
    await page.click('#btn_start');
    assert.equal(await h.waitCell(page, 3, 3, /onerror/), MARKUP_FILE);
    assert.equal(await page.locator('#tbl_channels img, #tbl_channels b').count(), 0);
    assert.equal(await page.evaluate(() => window.__x === undefined && window.__y === undefined), true);
    /* Nothing asked for "x" either. */
    assert.deepEqual(log.requests.filter((url) => /\/x$/.test(url)), []);
    await h.screenshot(page, 'markup-as-text');
    await page.click('#btn_stop');
    await h.waitDaemonState(2, 'idle');
    await context.close();
});

test('Start All and Stop All from their drop-downs', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await h.waitCell(page, 5, 3, /^IDLE$/);
    await h.clickMenuItem(page, 'btn_start', 'mnu_start_all');
    assert.equal(await page.isVisible('#mnu_start_all'), false);
    for (const row of [1, 3, 4, 5])
        await h.waitCell(page, row, 3, row === 3 ? /onerror/ : h.RUNNING_TEXT);
    /* The refused one fails silently; the item's click was no Start click. */
    assert.deepEqual(log.dialogs, []);
    assert.equal(h.requestsMatching(log, /^\/channel\d\?start$/).length, 5);
    assert.deepEqual(await h.daemonStates(), ['running', 'idle', 'running', 'running', 'running']);
    assert.deepEqual(await page.evaluate(() => jsonConfig.channels.map((c) => c.enable)),
                     [true, true, true, true, true]);

    await h.clickMenuItem(page, 'btn_stop', 'mnu_stop_all');
    for (const row of [1, 3, 5])
        await h.waitCell(page, row, 3, /^IDLE$/);
    await h.waitCell(page, 4, 3, /^STOPPING$/);
    /* The refused one is idle but enabled, so it would be started again: it got its stop too. */
    assert.equal(h.requestsMatching(log, /^\/channel2\?stop$/).length, 1);
    /* Stop All again: the one still stopping is killed; idle ones that would not run get nothing. */
    await h.clickMenuItem(page, 'btn_stop', 'mnu_stop_all');
    await h.waitCell(page, 4, 3, /^IDLE$/);
    assert.equal(h.requestsMatching(log, /^\/channel2\?stop$/).length, 1);
    assert.equal(h.requestsMatching(log, /^\/channel4\?stop$/).length, 2);
    assert.deepEqual(await page.evaluate(() => jsonConfig.channels.map((c) => c.enable)),
                     [false, false, false, false, false]);
    assert.deepEqual(log.errors.filter((e) => !/status of 400/.test(e)), []);
    await context.close();
});
