/* preview.test.mjs -- the Preview button and the player against the real daemon: a preview on the
 * preview port, Stop during it (one stop, the player closed), closing the player after another row
 * was selected (the previewed channel stops), a preview started elsewhere, and a running channel
 * whose first target is an MP4 stream of its own. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as h from './support/harness.mjs';

const MP4_PORT = 18080;

const s = h.suite(() => h.configuration({channels: [
    h.channel({url: '/media/one.mp4'}),
    h.channel({url: '/media/two.mp4'}),
    h.channel({url: '/media/three.mp4', format: 'httpmp4', targetUrl: `http://0.0.0.0:${MP4_PORT}`}),
]}));


async function player(page)
{
    return page.evaluate(() => ({
        shown: !document.getElementById('vid_preview').classList.contains('hidden'),
        src: document.getElementById('vid_preview').getAttribute('src'),
        logo: !document.getElementById('div_logo').classList.contains('hidden'),
        label: document.getElementById('btn_preview').textContent,
    }));
}

async function openPreview(page, log, row)
{
    await h.selectRow(page, row);
    await h.waitCell(page, row, 3, /^IDLE$/);
    await page.click('#btn_preview');
    await page.waitForSelector('#vid_preview', {state: 'visible', timeout: h.WAIT_MS});
    assert.equal(h.requestsMatching(log, new RegExp(`^/channel${row}\\?preview$`)).length, 1);
    await h.waitDaemonState(row - 1, 'preview');
}

test('preview on the preview port; Stop closes the player and stops that channel once', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await openPreview(page, log, 1);
    assert.deepEqual(await player(page), {shown: true, src: 'http://127.0.0.1:9527', logo: false, label: 'Stop'});
    await h.waitCell(page, 1, 3, /^PREVIEW$/);
    assert.equal(await h.stateIcon(page, 1), 'preview.png');
    await h.screenshot(page, 'preview');

    await page.click('#btn_stop');
    assert.deepEqual(await player(page), {shown: false, src: null, logo: true, label: 'Preview'});
    await h.waitDaemonState(0, 'idle');
    await h.waitCell(page, 1, 3, /^IDLE$/);
    assert.equal(h.requestsMatching(log, /^\/channel1\?stop$/).length, 1);
    assert.deepEqual(h.requestsMatching(log, /^\/channel[23]/), []);
    await context.close();
});

test('closing the player after selecting another row stops the previewed channel', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await openPreview(page, log, 1);
    await h.selectRow(page, 2);
    /* The button closes the player whatever row is selected. */
    assert.equal(await page.isDisabled('#btn_preview'), false);
    await page.click('#btn_preview');
    assert.equal((await player(page)).shown, false);
    await h.waitDaemonState(0, 'idle');
    assert.equal(h.requestsMatching(log, /^\/channel1\?stop$/).length, 1);
    assert.deepEqual(h.requestsMatching(log, /^\/channel2/), []);
    assert.equal((await h.daemonStates())[1], 'idle');
    await context.close();
});

test('Stop on a preview that this page did not open sends the stop', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    assert.equal((await h.daemonFetch('/channel2?preview')).status, 200);
    await h.waitCell(page, 2, 3, /^PREVIEW$/);
    await h.selectRow(page, 2);
    await page.click('#btn_stop');
    await h.waitDaemonState(1, 'idle');
    assert.equal(h.requestsMatching(log, /^\/channel2\?stop$/).length, 1);
    assert.equal((await player(page)).shown, false);
    await context.close();
});

test('a running channel whose first target is MP4 over HTTP plays its own port', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await h.selectRow(page, 3);
    await page.click('#btn_start');
    await h.waitCell(page, 3, 3, h.RUNNING_TEXT);
    assert.equal(await page.isDisabled('#btn_preview'), false);
    await page.click('#btn_preview');
    assert.deepEqual(await player(page), {shown: true, src: `http://127.0.0.1:${MP4_PORT}`, logo: false, label: 'Stop'});
    assert.deepEqual(h.requestsMatching(log, /^\/channel3\?preview/), []);

    /* Closing it stops nothing: the channel runs on. */
    await page.click('#btn_preview');
    assert.equal((await player(page)).shown, false);
    assert.deepEqual(h.requestsMatching(log, /^\/channel3\?stop/), []);
    assert.equal((await h.daemonStates())[2], 'running');

    /* Any other running channel: Preview is off. */
    await h.selectRow(page, 1);
    await page.click('#btn_start');
    await h.waitCell(page, 1, 3, h.RUNNING_TEXT);
    assert.equal(await page.isDisabled('#btn_preview'), true);
    await h.selectRow(page, 3);
    assert.equal(await page.isDisabled('#btn_preview'), false);

    await h.clickMenuItem(page, 'btn_stop', 'mnu_stop_all');
    await h.waitDaemonState(0, 'idle');
    await h.waitDaemonState(2, 'idle');
    await context.close();
});
