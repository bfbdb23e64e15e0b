/* sites.test.mjs -- a page of another site that the admin opens in the same browser, on the real
 * daemon without a password: its no-cors configuration post, its form import and its image that
 * starts a channel are refused with 403 and change nothing, though the access list refuses the
 * other site's own address; the daemon's own page goes on applying, starting and importing, and
 * shows why an import is refused. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import * as h from './support/harness.mjs';

const s = h.suite();

/* Another loopback address: a site of its own as far as the browser is concerned. */
const OTHER_HOST = '127.0.0.2';
const OTHER_PORT = 9000;

/* What the other site would plant: the access list opened, its own password, a running channel. */
const PLANTED = {
    global: {log: 0, httpPort: h.PORT, ipACL: '', loginPass: 'planted'},
    channels: [h.channel({memo: 'planted', enable: true})],
};

function otherSitePage()
{
    const text = JSON.stringify(PLANTED);
    return `<!doctype html>
<html><head><title>Another site</title></head>
<body>
<h1>Another site</h1>
<img id="img_start" src="${h.BASE}/channel1?start" alt="start">
<form id="form_plant" method="post" action="${h.BASE}/config?import" enctype="multipart/form-data" target="sink">
<textarea name="file"></textarea>
</form>
<iframe name="sink" title="sink"></iframe>
<script>
const text = ${JSON.stringify(text)};
fetch('${h.BASE}/config', {method: 'POST', mode: 'no-cors', headers: {'Content-Type': 'text/plain'}, body: text});
document.querySelector('#form_plant textarea').value = text;
document.getElementById('form_plant').submit();
</script>
</body></html>`;
}

/* Serves the other site's page until close() is called. */
async function serveOtherSite()
{
    const server = http.createServer((req, res) => {
        res.writeHead(200, {'Content-Type': 'text/html'});
        res.end(otherSitePage());
    });
    await new Promise((resolve) => server.listen(OTHER_PORT, OTHER_HOST, resolve));
    return server;
}

test('another site cannot change anything through the browser; the page itself still can', async () => {
    const configuration = h.configuration({
        channels: [h.channel({memo: 'one'})],
        global: {ipACL: `allow all deny ${OTHER_HOST}`},
    });
    await h.withDaemon(configuration, async (daemon) => {
        const before = h.savedConfig();
        const server = await serveOtherSite();
        try {
            const {context, page} = await h.newPage(s.browser);
            const statuses = {};
            context.on('response', (response) => {
                const url = response.url();
                if (url.startsWith(h.BASE))
                    statuses[url.slice(h.BASE.length)] = response.status();
            });
            await page.goto(`http://${OTHER_HOST}:${OTHER_PORT}/`);
            await h.waitUntil(() => ['/config', '/config?import', '/channel1?start'].every((p) => p in statuses),
                              'the other site\'s three requests answered');
            assert.deepEqual(statuses, {'/config': 403, '/config?import': 403, '/channel1?start': 403});
            /* The frame holds the daemon's refusal of the form import (another origin: read through
             * the frame itself, not the other site's page). */
            await page.frameLocator('iframe[name=sink]').locator('body', {hasText: 'another site refused'})
                .waitFor({timeout: h.WAIT_MS});
            await h.screenshot(page, 'sites-other-site');
            assert.equal(h.savedConfig(), before);
            assert.deepEqual(await h.daemonStates(), ['idle']);
            const running = JSON.parse(await (await h.daemonFetch('/config')).text());
            assert.equal(running.global.loginPass, '');
            assert.equal(running.global.ipACL, `allow all deny ${OTHER_HOST}`);
            await context.close();
        } finally {
            await new Promise((resolve) => server.close(resolve));
        }

        /* The daemon's own page: Apply, Start and Stop, a refused import that says why, an import. */
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 1, 2, /^one$/);
        await h.editRow(page, 1);
        await page.fill('#edt_memo', 'applied');
        await page.click('#btn_apply');
        await h.waitSavedChannels((list) => list.length === 1 && list[0].memo === 'applied', 'the edit applied');
        await h.selectRow(page, 1);
        await page.click('#btn_start');
        await h.waitDaemonState(0, 'running');
        await h.waitCell(page, 1, 3, /RUNNING|\d\d:\d\d:\d\d/);
        await page.click('#btn_stop');
        await h.waitDaemonState(0, 'idle');
        await h.waitCell(page, 1, 3, /^IDLE$/);

        const folder = daemon.file('chosen');
        fs.mkdirSync(folder, {recursive: true});
        const notConfig = path.join(folder, 'other.json');
        fs.writeFileSync(notConfig, '{"foo": 1}');
        const good = path.join(folder, 'good.json');
        fs.writeFileSync(good, JSON.stringify(h.configuration({channels: [h.channel({memo: 'imported'})]})));
        log.acceptConfirm = true;
        await page.click('#btn_global_config');
        await page.waitForSelector('#div_global_config', {state: 'visible', timeout: h.WAIT_MS});
        const savedBefore = h.savedConfig();
        await page.setInputFiles('#input_import_config', notConfig);
        await h.waitUntil(() => log.dialogs.length === 2, 'the question and the alert');
        assert.equal(log.dialogs[1], 'Configuration not saved: not a configuration: it has neither "global" nor "channels"');
        assert.equal(h.savedConfig(), savedBefore);
        await h.screenshot(page, 'sites-refused-import');
        await Promise.all([page.waitForEvent('load'), page.setInputFiles('#input_import_config', good)]);
        await h.waitCell(page, 1, 2, /^imported$/);
        await h.waitSavedChannels((list) => list.length === 1 && list[0].memo === 'imported', 'the import saved');
        assert.deepEqual(log.errors.filter((e) => !/status of 400/.test(e)), []);
        await h.screenshot(page, 'sites-own-page');
        await context.close();
    });
});
