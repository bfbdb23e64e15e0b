/* sync.test.mjs -- the page's model and rows stay in step with the daemon when replies come late or
 * are refused or lost: one post at a time, a reply to an older post does not undo newer changes (a
 * Stop, a Remove), a refused Remove or Apply of a new channel is taken back so row n keeps acting on
 * the daemon's channel n, a lost reply is settled by the daemon's configuration, and replies to
 * channel actions sent before a Remove touch no row that now shows another channel.
 * Against the real daemon with the scripted fake transcoder; posts are held in the browser, then
 * sent on to the daemon, to give the orders a slow daemon gives. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as h from './support/harness.mjs';

const s = h.suite();

/* Holds the page's configuration posts until the test releases them one by one (in any order);
 * a released post goes on to the daemon and its reply back to the page. */
async function holdPosts(page)
{
    const held = [];
    await page.route('**/config', async (route) => {
        if (route.request().method() !== 'POST')
            return route.continue();
        await new Promise((resolve) => held.push({resolve, body: JSON.parse(route.request().postData())}));
        await route.continue();
    });
    return {
        async waitHeld(n) {
            await h.waitUntil(() => held.length >= n, `${n} posts held`);
            return held[n - 1].body;
        },
        async release(page, n) {
            const reply = page.waitForResponse((r) => r.request().method() === 'POST' &&
                                                   r.request().postData() === JSON.stringify(held[n - 1].body));
            held[n - 1].resolve();
            await reply;
        },
    };
}

const memos = (list) => list.map((ch) => ch.memo);

/* The page's errors apart from the browser's notes on refused or aborted requests. */
const pageErrors = (log) => log.errors.filter((e) => !/^Failed to load resource/.test(e));

test('a reply to a post sent before a Stop does not start the channel again', async () => {
    const config = h.configuration({channels: [h.channel({memo: 'one'}), h.channel({memo: 'two', enable: true})]});
    await h.withDaemon(config, async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 2, 3, h.RUNNING_TEXT);
        const posts = await holdPosts(page);
        await h.editRow(page, 1);
        await page.fill('#edt_memo', 'one edited');
        await page.click('#btn_apply');
        assert.equal((await posts.waitHeld(1)).channels[1].enable, true);
        await h.selectRow(page, 2);
        await page.click('#btn_stop');
        await h.waitDaemonState(1, 'idle');
        /* The post still says "enable" true: its reply must not become the model; the model as it
         * now stands is posted again. */
        await posts.release(page, 1);
        const again = await posts.waitHeld(2);
        assert.deepEqual([memos(again.channels), again.channels[1].enable], [['one edited', 'two'], false]);
        assert.equal(await page.evaluate(() => jsonConfig.channels[1].enable), false);
        await posts.release(page, 2);
        const saved = await h.waitSavedChannels((l) => l[1].enable === false, 'the Stop saved');
        assert.equal(saved[0].memo, 'one edited');
        await page.waitForFunction(() => jsonConfig.channels[1].enable === false && jsonConfig.channels[0].memo === 'one edited',
                                   null, {timeout: h.WAIT_MS});
        assert.equal(log.posts.length, 2);

        /* A later unrelated Apply keeps channel 2 stopped. */
        await page.unroute('**/config');
        await h.editRow(page, 1);
        await page.fill('#edt_memo', 'one again');
        await page.click('#btn_apply');
        const later = await h.waitSavedChannels((l) => l[0].memo === 'one again', 'the later Apply saved');
        assert.equal(later[1].enable, false);
        assert.deepEqual(await h.daemonStates(), ['idle', 'idle']);
        assert.deepEqual(pageErrors(log), []);
        await context.close();
    });
});

/* Resolves once the page has sent two more status requests: whatever a click handler sent went out
 * before them. */
async function laterStatusPolls(log)
{
    const before = h.requestsMatching(log, /^\/status$/).length;
    await h.waitUntil(() => h.requestsMatching(log, /^\/status$/).length >= before + 2, 'two later status requests');
}

test('changes made while a post is under way are posted after its reply, one post at a time', async () => {
    const list = ['m1', 'm2', 'm3', 'm4'].map((memo, i) => h.channel({memo, url: `/media/ch${i + 1}.mp4`}));
    await h.withDaemon(h.configuration({channels: list}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        const posts = await holdPosts(page);
        await h.editRow(page, 3);
        await page.fill('#edt_memo', 'm3 edited');
        await page.click('#btn_apply');
        await posts.waitHeld(1);
        /* A Remove while the edit's post is held sends nothing yet, and the actions on rows wait. */
        await h.selectRow(page, 2);
        await page.click('#btn_remove');
        assert.deepEqual(await page.evaluate(() => jsonConfig.channels.map((ch) => ch.memo)), ['m1', 'm3 edited', 'm4']);
        const actionsBefore = h.requestsMatching(log, /^\/channel/).length;
        await page.click('#btn_start');
        await laterStatusPolls(log);
        assert.equal(log.posts.length, 1);
        assert.equal(h.requestsMatching(log, /^\/channel/).length, actionsBefore);
        assert.deepEqual(await h.daemonStates(), ['idle', 'idle', 'idle', 'idle']);
        /* The first reply (channel 2 still there) arrives: nothing of it shows, and the model as it
         * now stands goes out. */
        await posts.release(page, 1);
        assert.deepEqual(memos((await posts.waitHeld(2)).channels), ['m1', 'm3 edited', 'm4']);
        assert.deepEqual(await page.evaluate(() => jsonConfig.channels.map((ch) => ch.memo)), ['m1', 'm3 edited', 'm4']);
        assert.equal(await h.cellText(page, 2, 2), 'm3 edited');
        assert.equal(await h.cellText(page, 4, 0), '');
        /* An edit of row 2 while the second reply comes in stays bound to it. */
        await h.editRow(page, 2);
        await page.fill('#edt_memo', 'm3 again');
        await posts.release(page, 2);
        assert.equal(await h.editingRow(page), 2);
        await page.click('#btn_apply');
        await posts.waitHeld(3);
        await posts.release(page, 3);
        const saved = await h.waitSavedChannels((l) => l.length === 3 && l[1].memo === 'm3 again', 'the edit saved');
        assert.deepEqual(saved.map((ch) => [ch.memo, ch.input.sources[0].url]),
                         [['m1', '/media/ch1.mp4'], ['m3 again', '/media/ch3.mp4'], ['m4', '/media/ch4.mp4']]);
        assert.equal(log.posts.length, 3);
        /* With no post under way, Start acts again. */
        await h.selectRow(page, 2);
        await page.click('#btn_start');
        await h.waitDaemonState(1, 'running');
        assert.deepEqual(await h.daemonStates(), ['idle', 'running', 'idle']);
        assert.deepEqual(log.dialogs, ['Warning: Remove this channel?']);
        assert.deepEqual(pageErrors(log), []);
        await context.close();
    });
});

test('a post whose reply is lost leaves the rows equal to the daemon\'s channels', async () => {
    const list = [1, 2, 3].map((n) => h.channel({memo: `m${n}`, url: `/media/ch${n}.mp4`}));
    await h.withDaemon(h.configuration({channels: list}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        /* The first post reaches the daemon, but its reply does not reach the page; the second
         * never reaches the daemon. */
        let lost = 0;
        await page.route('**/config', async (route) => {
            if (route.request().method() !== 'POST')
                return route.continue();
            if (++lost === 1)
                await route.fetch();
            await route.abort('connectionreset');
        });
        const shownMemos = () => Promise.all([1, 2, 3].map((r) => h.cellText(page, r, 2)));
        await h.selectRow(page, 2);
        await page.click('#btn_remove');
        await h.waitSavedChannels((l) => l.length === 2, 'the Remove saved');
        await page.waitForFunction(() => !postPending, null, {timeout: h.WAIT_MS});
        assert.deepEqual(await shownMemos(), ['m1', 'm3', '']);
        assert.deepEqual(await page.evaluate(() => jsonConfig.channels.map((ch) => ch.memo)), ['m1', 'm3']);
        assert.deepEqual(log.dialogs, ['Warning: Remove this channel?']);
        /* Row 2 acts on the daemon's channel 2. */
        await page.click('#btn_start');
        await h.waitDaemonState(1, 'running');
        await page.click('#btn_stop');
        await h.waitDaemonState(1, 'idle');
        await h.waitCell(page, 2, 3, /^IDLE$/);

        /* A Remove the daemon never got comes back, with the failure told. */
        await h.selectRow(page, 1);
        await page.click('#btn_remove');
        await h.waitUntil(() => log.dialogs.length === 3, 'the alert');
        assert.equal(log.dialogs[2], 'Configuration not saved.');
        await page.waitForFunction(() => !postPending, null, {timeout: h.WAIT_MS});
        assert.deepEqual(await shownMemos(), ['m1', 'm3', '']);
        /* The selection followed channel 3 down. */
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 2);
        assert.equal(JSON.parse(h.savedConfig()).channels.length, 2);
        await h.waitCell(page, 2, 3, /^IDLE$/);
        await h.screenshot(page, 'sync-lost-reply');
        assert.deepEqual(pageErrors(log), []);
        await context.close();
    });
});

test('a refused Remove or new channel is taken back, so the rows act on the daemon\'s channels', async () => {
    const list = [1, 2, 3].map((n) => h.channel({memo: `m${n}`, url: `/media/ch${n}.mp4`}));
    await h.withDaemon(h.configuration({channels: list}), async () => {
        await h.whileConfigUnwritable(async () => {
            const {context, page, log} = await h.newPage(s.browser);
            log.acceptConfirm = true;
            await h.openManager(page);
            await h.selectRow(page, 2);
            await page.click('#btn_remove');
            await h.waitUntil(() => log.dialogs.length === 2, 'the alert');
            assert.match(log.dialogs[1], /^Configuration not saved: .*ruxod\.json/);
            /* Channel 2 is back in its row; the selection followed channel 3 down. */
            assert.deepEqual(await page.evaluate(() => jsonConfig.channels.map((ch) => ch.memo)), ['m1', 'm2', 'm3']);
            for (const n of [1, 2, 3])
                assert.equal(await h.cellText(page, n, 1), `/media/ch${n}.mp4`);
            assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 3);
            assert.equal(await page.evaluate(() => curChannel.memo), 'm3');
            await h.screenshot(page, 'sync-remove-refused');

            /* Start on row 2 starts the channel that row 2 shows. */
            await h.selectRow(page, 2);
            await page.click('#btn_start');
            await h.waitDaemonState(1, 'running');
            assert.deepEqual(await h.daemonStates(), ['idle', 'running', 'idle']);
            await h.waitCell(page, 2, 3, h.RUNNING_TEXT);
            await page.click('#btn_stop');
            await h.waitDaemonState(1, 'idle');

            /* A new channel whose Apply is refused leaves its row again. */
            await page.click('#btn_create');
            assert.equal(await h.editingRow(page), 4);
            await page.fill('#edt_src_url', '/media/new.mp4');
            await page.click('#btn_apply');
            await h.waitUntil(() => log.dialogs.length === 3, 'the second alert');
            assert.match(log.dialogs[2], /^Configuration not saved: /);
            assert.equal(await page.evaluate(() => jsonConfig.channels.length), 3);
            assert.deepEqual(await Promise.all([0, 1, 2, 3].map((c) => h.cellText(page, 4, c))), ['', '', '', '']);
            assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 3);
            assert.deepEqual(pageErrors(log), []);
            await context.close();
        });
    });
});

test('a Remove undone while a later row is edited moves the edit with its channel', async () => {
    const list = [1, 2, 3].map((n) => h.channel({memo: `m${n}`, url: `/media/ch${n}.mp4`}));
    await h.withDaemon(h.configuration({channels: list}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        let refuse = null;
        await page.route('**/config', async (route) => {
            if (route.request().method() !== 'POST')
                return route.continue();
            await new Promise((resolve) => { refuse = resolve; });
            await route.fulfill({status: 500, contentType: 'text/plain', body: 'disk full\n'});
        });
        await h.selectRow(page, 1);
        await page.click('#btn_remove');
        await h.waitUntil(() => refuse !== null, 'the held post');
        /* Row 2 now shows channel 3; it is edited while the daemon refuses the Remove. */
        await h.editRow(page, 2);
        assert.equal(await page.inputValue('#edt_src_url'), '/media/ch3.mp4');
        await page.fill('#edt_memo', 'm3 edited');
        refuse();
        await h.waitUntil(() => log.dialogs.length === 2, 'the alert');
        assert.equal(log.dialogs[1], 'Configuration not saved: disk full');
        assert.equal(await h.editingRow(page), 3);
        assert.equal(await page.locator('#tbl_channels tbody tr:nth-child(3) #edt_memo').count(), 1);
        assert.equal(await page.inputValue('#edt_memo'), 'm3 edited');
        assert.deepEqual(await Promise.all([1, 2].map((r) => h.cellText(page, r, 2))), ['m1', 'm2']);
        await page.unroute('**/config');
        await page.click('#btn_apply');
        const saved = await h.waitSavedChannels((l) => l[2].memo === 'm3 edited', 'the edit saved');
        assert.deepEqual(saved.map((ch) => [ch.memo, ch.input.sources[0].url]),
                         [['m1', '/media/ch1.mp4'], ['m2', '/media/ch2.mp4'], ['m3 edited', '/media/ch3.mp4']]);
        assert.deepEqual(pageErrors(log), []);
        await context.close();
    });
});

test('after a Remove, the player and late action replies follow their channel', async () => {
    const list = [1, 2, 3].map((n) => h.channel({memo: `m${n}`, url: `/media/ch${n}.mp4`}));
    await h.withDaemon(h.configuration({channels: list}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        /* The preview of channel 2 ends elsewhere; the player stays open. */
        await h.selectRow(page, 2);
        await h.waitCell(page, 2, 3, /^IDLE$/);
        await page.click('#btn_preview');
        await page.waitForSelector('#vid_preview', {state: 'visible', timeout: h.WAIT_MS});
        await h.waitDaemonState(1, 'preview');
        await h.daemonFetch('/channel2?stop');
        await h.waitCell(page, 2, 3, /^IDLE$/);
        await h.selectRow(page, 1);
        await page.click('#btn_remove');
        await h.waitSavedChannels((l) => l.length === 2, 'the Remove saved');
        await page.waitForFunction(() => jsonConfig.channels.length === 2, null, {timeout: h.WAIT_MS});
        /* Closing the player stops the previewed channel, now in row 1, not the old channel 3. */
        const before = log.requests.length;
        await h.selectRow(page, 1);
        await page.click('#btn_preview');
        await page.waitForSelector('#vid_preview', {state: 'hidden', timeout: h.WAIT_MS});
        await h.waitUntil(() => h.requestsMatching({requests: log.requests.slice(before)}, /^\/channel1\?stop$/).length === 1,
                          'the stop of the previewed channel');
        assert.deepEqual(h.requestsMatching({requests: log.requests.slice(before)}, /^\/channel2/), []);

        /* A start reply that arrives after a Remove marks no row: row 1 now shows another channel.
         * The status replies are held back meanwhile, so only the start's reply could mark it. */
        await page.route('**/status', (route) => route.abort());
        let answer = null;
        await page.route(/\/channel2\?start$/, (route) => { answer = route; });
        /* Every finished request is noted after its handler ran. */
        await page.evaluate(() => {
            const send = XMLHttpRequest.prototype.send;
            window.ended = [];
            XMLHttpRequest.prototype.send = function (body) {
                this.addEventListener('loadend', () => window.ended.push(this.responseURL));
                return send.call(this, body);
            };
        });
        await h.selectRow(page, 2);
        await page.click('#btn_start');
        await h.waitUntil(() => answer !== null, 'the held start');
        await h.selectRow(page, 1);
        await page.click('#btn_remove');
        await page.waitForFunction(() => jsonConfig.channels.length === 1 && document.getElementById('tbl_channels').rowSelected === 1,
                                   null, {timeout: h.WAIT_MS});
        await answer.fulfill({status: 200, contentType: 'text/plain', body: ''});
        await page.waitForFunction(() => window.ended.some((url) => /\/channel2\?start$/.test(url)), null, {timeout: h.WAIT_MS});
        assert.deepEqual(await Promise.all([1, 2].map((r) => h.cellText(page, r, 3))), ['IDLE', '']);
        assert.deepEqual(await page.evaluate(() => channelStatus.map((e) => e.state)), ['idle']);
        assert.deepEqual(pageErrors(log), []);
        await context.close();
    });
});
