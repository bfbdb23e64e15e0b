/* server.test.mjs -- the page over two states of the real daemon that other tests route: a daemon
 * that runs without a configuration because its file could not be read, and a daemon that was told
 * to use HTTPS but fell back to plain HTTP because its certificate file is missing. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as h from './support/harness.mjs';

const s = h.suite();

test('a configuration file that does not load: the page shows the daemon\'s reason', async () => {
    const daemon = await h.Daemon.create();
    await daemon.start('{"global": {"httpPort": 8888, "loginPass": "pw"}, "channels": [');
    const reply = await h.daemonFetch('/config');
    assert.equal(reply.status, 503);
    assert.match(reply.headers.get('content-type'), /^text\/plain/);
    const reason = (await reply.text()).trim();
    assert.ok(reason.length > 0);

    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    await page.waitForSelector('#div_insecure', {state: 'visible', timeout: h.WAIT_MS});
    assert.equal(await page.textContent('#div_insecure'), 'The configuration file could not be read: ' + reason);
    const nStatus = h.requestsMatching(log, /^\/status$/).length;
    await h.waitUntil(() => h.requestsMatching(log, /^\/status$/).length >= nStatus + 2, 'two more status polls');
    /* No channels: nothing is selected, and the buttons say so. */
    assert.equal(await h.cellText(page, 1, 0), '');
    assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 0);
    await page.click('#btn_start');
    await page.click('#btn_stop');
    await page.click('#btn_preview');
    await h.waitUntil(() => log.dialogs.length >= 2, 'the two alerts');
    assert.deepEqual(log.dialogs, ['Please select channel first.', 'Please select channel first.']);
    assert.deepEqual(h.requestsMatching(log, /^\/channel/), []);
    assert.deepEqual(log.errors.filter((e) => !/status of 503/.test(e)), []);
    await h.screenshot(page, 'daemon-without-configuration');
    await context.close();
    await h.stopInOrder(daemon);
});

test('HTTPS asked for with a missing certificate: the fall-back banner', async (t) => {
    const daemon = await h.Daemon.create();
    await daemon.start(h.configuration({loginPass: '', global: {
        sslEnable: true, sslCert: '/etc/ruxod/missing-cert.pem', sslKey: '/etc/ruxod/missing-key.pem',
    }}));
    const runtime = await (await h.daemonFetch('/runtime')).json();
    if (!('https' in runtime)) {
        t.skip('the daemon\'s runtime reply has no "https" item yet (the server\'s report of the TLS fall-back)');
        await h.stopInOrder(daemon);
        return;
    }
    assert.equal(runtime.https, false);
    const {context, page} = await h.newPage(s.browser);
    await h.openManager(page);
    await page.waitForFunction(() => document.querySelectorAll('#div_insecure p').length === 2, null,
                               {timeout: h.WAIT_MS});
    const lines = await page.$$eval('#div_insecure p', (ps) => ps.map((p) => p.textContent));
    assert.match(lines[0], /^CAUTION Your RUXOD web interface is INSECURE!/);
    assert.equal(lines[1], 'HTTPS is not active: the certificate or key could not be used. This page is sent without encryption.');
    await h.screenshot(page, 'daemon-https-fallback');
    await context.close();
    await h.stopInOrder(daemon);
});
