/* login.test.mjs -- the page behind a password on the real daemon: the login page, the manager after
 * logging in, the configuration download's file name and body, and a cookie gone stale because the
 * password was changed elsewhere: the page keeps what it showed and takes no login page for data. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import * as h from './support/harness.mjs';

const PASSWORD = 'pw 1;%';
const COOKIE = 'auth=' + encodeURIComponent(PASSWORD);

const s = h.suite(() => h.configuration({loginPass: PASSWORD, channels: [
    h.channel({url: '/media/one.mp4', memo: 'one'}),
    h.channel({url: '/media/two.mp4', memo: 'two'}),
]}));

async function logIn(page)
{
    await page.goto(h.BASE + '/');
    assert.equal(await page.textContent('h2'), 'RUXOD Login Authentication');
    await page.fill('input[name=auth]', PASSWORD);
    await Promise.all([page.waitForURL(h.BASE + '/'), page.click('input[type=submit]')]);
    await h.openManager(page);
}

test('login, then the manager without the caution banner; the download is ruxod.json', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await logIn(page);
    await h.waitCell(page, 2, 3, /^IDLE$/);
    assert.equal(await page.title(), 'Strovanta!');
    assert.equal(await h.cellText(page, 2, 2), 'two');
    assert.equal(await page.isVisible('#div_insecure'), false);

    /* The page reads the configuration without the download header; with "dl=1" it is a file. */
    const [download] = await Promise.all([
        page.waitForEvent('download'),
        page.evaluate(() => {
            const link = document.createElement('a');
            link.href = '/config?dl=1';
            document.body.appendChild(link);
            link.click();
        }),
    ]);
    assert.equal(download.suggestedFilename(), 'ruxod.json');
    const body = fs.readFileSync(await download.path(), 'utf8');
    const shown = await (await h.daemonFetch('/config', {cookie: COOKIE})).text();
    assert.equal(body, shown);
    const json = JSON.parse(body);
    assert.equal(json.global.loginPass, PASSWORD);
    assert.deepEqual(json.channels.map((c) => c.memo), ['one', 'two']);
    assert.deepEqual(log.errors, []);
    await context.close();
});

test('a stale cookie: the page keeps what it showed and marks nothing running', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await logIn(page);
    await h.waitCell(page, 1, 3, /^IDLE$/);

    /* The password changes from elsewhere: every reply to this page is now the login page. */
    const json = JSON.parse(await (await h.daemonFetch('/config', {cookie: COOKIE})).text());
    json.global.loginPass = 'changed';
    const posted = await h.daemonFetch('/config', {cookie: COOKIE, method: 'POST', body: JSON.stringify(json)});
    assert.equal(posted.status, 200);

    let nLoginPages = 0;
    page.on('response', async (response) => {
        if (/\/status$/.test(response.url()) && (response.headers()['content-type'] || '').startsWith('text/html'))
            nLoginPages++;
    });
    await h.waitUntil(() => nLoginPages >= 2, 'two status polls answered by the login page');

    const start = page.waitForResponse((r) => /\/channel1\?start$/.test(r.url()));
    await page.click('#btn_start');
    assert.match((await start).headers()['content-type'], /^text\/html/);
    const nAfter = nLoginPages;
    await h.waitUntil(() => nLoginPages >= nAfter + 2, 'two more status polls');

    assert.equal(await h.cellText(page, 1, 3), 'IDLE');
    assert.equal(await h.stateIcon(page, 1), 'idle.png');
    assert.equal(await h.cellText(page, 2, 2), 'two');
    assert.equal(await page.locator('#tbl_channels tbody tr').count(), 64);
    assert.deepEqual(log.dialogs, []);
    assert.deepEqual(log.errors, []);
    assert.deepEqual(await h.daemonStates('auth=changed'), ['idle', 'idle']);
    await context.close();
});
