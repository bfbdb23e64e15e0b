/* operator.test.mjs -- the page as an operator meets it, against the real daemon: a preview that
 * shows a picture (the real transcoder and Debian's ffmpeg), Stop All on a channel that is idle
 * between two tries of its automatic restart, a daemon that stops and comes back while the page is
 * open, one status request at a time on a slow link and one that never gets a reply, a numeric
 * password, and the look and controls of the settings box and the editor: the port box, OK with a
 * port that is none, the read-only editor, the editor with no channel, and the buttons that would
 * do nothing. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import * as h from './support/harness.mjs';

const s = h.suite();

/* The line that stands in the banner while the daemon does not answer. */
const NO_REPLY = /^No reply from the daemon since (\d\d):(\d\d):(\d\d)\.$/;

/* What the page shows of a silent daemon: the banner's line (null without one) and how opaque the
 * first status cell and the first processor cell are drawn. */
function silence(page)
{
    return page.evaluate(() => {
        const line = document.getElementById('para_no_reply');
        const status = document.querySelector('#tbl_channels tbody tr td.col_status');
        const cpu = document.querySelector('#tbl_cpu td');
        return {
            line: line && line.parentNode.id === 'div_insecure' && !line.parentNode.classList.contains('hidden')
                ? line.textContent : null,
            status: Number(getComputedStyle(status).opacity),
            cpu: cpu ? Number(getComputedStyle(cpu).opacity) : 1,
        };
    });
}

/* Counts the page's status requests as it sends them: the times they left (in "sent") and how many
 * were under way at once at most. */
function watchStatusRequests(page)
{
    return page.evaluate(() => {
        const seen = {sent: [], now: 0, most: 0};
        window.__status = seen;
        const open = XMLHttpRequest.prototype.open;
        const send = XMLHttpRequest.prototype.send;
        XMLHttpRequest.prototype.open = function (method, url, ...rest) {
            this.isStatus = /^\/status$/.test(url);
            return open.call(this, method, url, ...rest);
        };
        XMLHttpRequest.prototype.send = function (body) {
            if (this.isStatus) {
                seen.sent.push(Date.now());
                seen.now++;
                seen.most = Math.max(seen.most, seen.now);
                this.addEventListener('loadend', () => seen.now--);
            }
            return send.call(this, body);
        };
    });
}

/* Whether an editable list is drawn as one control: the box's border and inside have the colours
 * of the list's border and inside beside its arrow (read from a screenshot of it). */
async function editableSeam(page, boxId)
{
    const locator = page.locator(`span.editable:has(#${boxId})`);
    const png = (await locator.screenshot()).toString('base64');
    return page.evaluate(async ([data, boxWidth]) => {
        const img = new Image();
        img.src = 'data:image/png;base64,' + data;
        await img.decode();
        const canvas = document.createElement('canvas');
        canvas.width = img.width;
        canvas.height = img.height;
        const ctx = canvas.getContext('2d');
        ctx.drawImage(img, 0, 0);
        const at = (x, y) => Array.from(ctx.getImageData(x, y, 1, 1).data.slice(0, 3));
        const xBox = Math.floor(boxWidth / 2);
        const xList = boxWidth + 1;   /* inside the list, left of its arrow */
        return {box: [at(xBox, 0), at(xBox, 2)], list: [at(xList, 0), at(xList, 2)]};
    }, [png, await page.evaluate((id) => document.getElementById(id).offsetWidth, boxId)]);
}

/* The page's own clock as seconds of the day. */
function pageClock(page)
{
    return page.evaluate(() => {
        const t = new Date();
        return t.getHours() * 3600 + t.getMinutes() * 60 + t.getSeconds();
    });
}

test('Preview of a file channel plays: the player gets a frame', async () => {
    await h.withDaemon(h.configuration(), async (daemon) => {
        const clip = daemon.file('clip.mp4');
        execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=25', '-f', 'lavfi',
                                '-i', 'sine=frequency=440:sample_rate=44100', '-t', '30', '-c:v', 'libx264', '-preset',
                                'ultrafast', '-g', '25', '-c:a', 'aac', '-shortest', clip], {timeout: 120000});
        const config = h.configuration({channels: [h.channel({url: clip})]});
        delete config.channels[0].output.customOptions;   /* no scripted mode: the real transcoder */
        const reply = await h.daemonFetch('/config', {method: 'POST', body: JSON.stringify(config)});
        assert.equal(reply.status, 200);

        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 1, 3, /^IDLE$/);
        await page.click('#btn_preview');
        await page.waitForSelector('#vid_preview', {state: 'visible', timeout: h.WAIT_MS});
        try {
            await page.waitForFunction(() => {
                const player = document.getElementById('vid_preview');
                return player.videoWidth > 0 && !player.error && player.currentTime > 0;
            }, null, {timeout: 40000});
        } catch (e) {
            const state = await page.evaluate(() => {
                const p = document.getElementById('vid_preview');
                return {src: p.src, error: p.error && p.error.message, ready: p.readyState, net: p.networkState};
            });
            throw new Error(e.message + '\n' + JSON.stringify(state) + '\n' +
                            (await h.daemonStates()).join() + '\n' + h.requestsMatching(log, /9527/).length);
        }
        assert.equal(await page.evaluate(() => document.getElementById('vid_preview').videoWidth), 320);
        assert.equal(await h.cellText(page, 1, 3), 'PREVIEW');
        await h.screenshot(page, 'operator-preview-playing');

        /* Closing the player stops the preview, as before. */
        await page.click('#btn_preview');
        await h.waitDaemonState(0, 'idle');
        assert.equal(h.requestsMatching(log, /^\/channel1\?stop$/).length, 1);
        assert.deepEqual(log.dialogs, []);
        await context.close();
    }, 'real');
});

test('Stop All stops a channel that is idle between two tries of its automatic restart', async () => {
    let fakeOut = '';
    const starts = () => (fs.existsSync(fakeOut) ? fs.readFileSync(fakeOut, 'utf8').split('\n')
        .filter((line) => / line /.test(line)).length : 0);
    const config = h.configuration({global: {autoRestart: 3}, channels: [
        h.channel({url: '/media/fails.mp4', enable: true, mode: 'exit1'}),
        h.channel({url: '/media/idle.mp4'}),
    ]});
    await h.withDaemon(config, async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        /* It has failed at least once and waits for its next try. */
        await h.waitUntil(() => starts() >= 1, 'a first start');
        await h.waitCell(page, 1, 3, /^IDLE$/);
        assert.equal(await page.evaluate(() => jsonConfig.channels[0].enable), true);

        /* What the page knew of it when the item was clicked. */
        await page.evaluate(() => document.getElementById('mnu_stop_all').addEventListener('click', () => {
            window.__stateAtStop = lastState(1);
        }, {capture: true}));
        await h.clickMenuItem(page, 'btn_stop', 'mnu_stop_all');
        assert.equal(await page.evaluate(() => window.__stateAtStop), 'idle');
        assert.equal(h.requestsMatching(log, /^\/channel1\?stop$/).length, 1);
        /* An idle channel that would not run gets nothing. */
        assert.deepEqual(h.requestsMatching(log, /^\/channel2\?stop$/), []);
        assert.equal(await page.evaluate(() => jsonConfig.channels[0].enable), false);
        const daemonEnable = async () => JSON.parse(await (await h.daemonFetch('/config')).text()).channels[0].enable;
        await h.waitUntil(async () => (await daemonEnable()) === false, 'the daemon\'s "enable" false');
        const nStarts = starts();

        /* 10 s on: a timer armed before the stop may have fired once; nothing after that. */
        const end = Date.now() + 10000;
        await h.waitUntil(() => Date.now() >= end, 'ten seconds', 15000);
        assert.ok(starts() <= nStarts + 1, `${starts()} starts, ${nStarts} when stopped`);
        assert.deepEqual(await h.daemonStates(), ['idle', 'idle']);
        assert.equal(await daemonEnable(), false);
        await context.close();
    }, 'fake', (daemon) => {
        fakeOut = daemon.file('fake.out');
        return {env: {RUXO_FAKE_OUT: fakeOut}};
    });
});

test('a daemon that stops is said, its states dimmed; when it is back the page is as usual', async () => {
    const config = h.configuration({channels: [h.channel({url: '/media/one.mp4'})]});
    await h.withDaemon(config, async (daemon) => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 1, 3, /^IDLE$/);
        assert.deepEqual(await silence(page), {line: null, status: 1, cpu: 1});
        const saved = h.savedConfig();

        const tmStopped = await pageClock(page);
        await h.stopInOrder(daemon);
        const tmGone = await pageClock(page); /* the daemon answers until its web server stops */
        await h.waitUntil(async () => (await silence(page)).line !== null, 'the no-reply line', 7000);
        const shown = await silence(page);
        assert.ok(shown.status < 0.6 && shown.cpu < 0.6, JSON.stringify(shown));
        /* The time of the last good reply: at most a status period (and a little) before the stop. */
        const [, hh, mm, ss] = NO_REPLY.exec(shown.line);
        const tmShown = Number(hh) * 3600 + Number(mm) * 60 + Number(ss);
        assert.ok(tmShown <= tmGone + 1 && tmShown >= tmStopped - 3,
                  `${shown.line} (stopped from ${tmStopped} to ${tmGone})`);
        /* The caution banner's own line stays beside it. */
        assert.match(await page.textContent('#div_insecure'), /^CAUTION Your RUXOD/);
        await h.screenshot(page, 'operator-daemon-silent');

        /* A start now gets no reply, and says so. */
        const dialog = page.waitForEvent('dialog');
        await page.click('#btn_start');
        assert.equal((await dialog).message(), 'Channel start error! no reply from the daemon');
        /* The line keeps the time while the daemon stays away: two more status requests fail. */
        await watchStatusRequests(page);
        await page.waitForFunction(() => window.__status.sent.length >= 2 && window.__status.now === 0, null,
                                   {timeout: h.WAIT_MS});
        assert.equal((await silence(page)).line, shown.line);

        await daemon.start(saved);
        await h.waitUntil(async () => (await silence(page)).line === null, 'the line gone', 7000);
        assert.deepEqual(await silence(page), {line: null, status: 1, cpu: 1});
        assert.equal(await page.isVisible('#div_insecure'), true);
        assert.equal(await page.locator('#div_insecure p').count(), 1);
        await h.waitCell(page, 1, 3, /^IDLE$/);
        assert.deepEqual(log.errors.filter((e) => !/ERR_CONNECTION_REFUSED|Failed to load resource/.test(e)), []);
        await context.close();
    });
});

test('one status request at a time: on a 2.5 s link, and when one never gets a reply', async () => {
    await h.withDaemon(h.configuration({channels: [h.channel()]}), async () => {
        const {context, page} = await h.newPage(s.browser);
        await h.openManager(page);
        await watchStatusRequests(page);
        const cdp = await context.newCDPSession(page);
        await cdp.send('Network.enable');
        await cdp.send('Network.emulateNetworkConditions',
                       {offline: false, latency: 2500, downloadThroughput: -1, uploadThroughput: -1});
        /* Three requests sent one after another on the slow link: each 2.5 s, none beside another. */
        await page.waitForFunction(() => window.__status.sent.length >= 3, null, {timeout: h.WAIT_MS});
        let seen = await page.evaluate(() => window.__status);
        assert.equal(seen.most, 1);
        assert.ok(seen.sent.length >= 2, `${seen.sent.length} status requests`);
        await cdp.send('Network.emulateNetworkConditions',
                       {offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1});
        await page.waitForFunction(() => window.__status.now === 0, null, {timeout: h.WAIT_MS});

        /* A request that is never answered: the line after 5 s, and no other request until it is
         * given up after 10 s. */
        let held = null;
        await page.route('**/status', async (route) => {
            if (held === null) {
                held = route;
                return;
            }
            await route.continue();
        });
        await page.waitForFunction(() => window.__status.now === 1, null, {timeout: h.WAIT_MS});
        const nBefore = (await page.evaluate(() => window.__status)).sent.length;
        await h.waitUntil(async () => (await silence(page)).line !== null, 'the no-reply line', 7000);
        seen = await page.evaluate(() => ({status: window.__status, now: Date.now()}));
        const tmHeld = seen.status.sent[nBefore - 1];
        assert.ok(seen.now - tmHeld >= 5000, `the line ${seen.now - tmHeld} ms after the request`);
        assert.equal(seen.status.sent.length, nBefore);
        await page.waitForFunction((n) => window.__status.sent.length > n, nBefore, {timeout: 15000});
        seen = await page.evaluate(() => window.__status);
        assert.ok(seen.sent[nBefore] - tmHeld >= 10000, `the next request ${seen.sent[nBefore] - tmHeld} ms after the held one`);
        assert.equal(seen.most, 1);
        await h.waitUntil(async () => (await silence(page)).line === null, 'the line gone');
        await page.unroute('**/status');
        await context.close();
    });
});

test('a numeric password is a password: no caution banner, the settings box shows it', async () => {
    const config = h.configuration({channels: [h.channel()]});
    config.global.loginPass = 123456;
    await h.withDaemon(config, async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await page.goto(h.BASE + '/');
        assert.equal(await page.textContent('h2'), 'RUXOD Login Authentication');
        await page.fill('input[name=auth]', '123456');
        await Promise.all([page.waitForURL(h.BASE + '/'), page.click('input[type=submit]')]);
        await h.openManager(page);
        await h.waitCell(page, 1, 3, /^IDLE$/);
        assert.equal(await page.evaluate(() => jsonConfig.global.loginPass), 123456);
        assert.equal(await page.isVisible('#div_insecure'), false);
        await page.click('#btn_global_config');
        assert.equal(await page.inputValue('#edt_login_pass'), '123456');
        assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('edt_login_pass')).backgroundColor),
                     'rgb(255, 255, 255)');
        /* OK keeps it as its text, and this browser logged in. */
        await page.click('#btn_global_config_ok');
        await h.waitSavedConfig((saved) => saved.global.loginPass === '123456', 'the password saved as text');
        await page.waitForResponse((r) => /\/status$/.test(r.url()) && /^application\/json/.test(r.headers()['content-type']),
                                   {timeout: h.WAIT_MS});
        assert.deepEqual(log.dialogs, []);
        await context.close();
    });
});

test('the settings box: the whole port shows; OK with a port that is none says what is wrong', async () => {
    await h.withDaemon(h.configuration({channels: [h.channel()]}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await page.click('#btn_global_config');
        for (const port of ['18189', '65535']) {
            await page.fill('#edt_http_port', port);
            const size = await page.evaluate(() => {
                const box = document.getElementById('edt_http_port');
                return {scroll: box.scrollWidth, client: box.clientWidth};
            });
            assert.ok(size.scroll <= size.client, `${port}: ${JSON.stringify(size)}`);
        }
        await page.locator('#div_global_config').screenshot({path: h.OUT_DIR + '/operator-settings-port.png'});

        await page.evaluate(() => {
            window.__invalid = 0;
            document.getElementById('edt_http_port').addEventListener('invalid', () => window.__invalid++);
        });
        const cases = ['', '70000', '-1', '8.5', '1e3'];
        for (const [i, port] of cases.entries()) {
            await page.fill('#edt_http_port', port);
            await page.click('#btn_global_config_ok');
            const shown = await page.evaluate(() => ({
                invalid: window.__invalid,
                message: document.getElementById('edt_http_port').validationMessage,
            }));
            assert.equal(shown.invalid, i + 1, `"${port}"`);
            assert.notEqual(shown.message, '', `"${port}"`);
            assert.equal(await page.isVisible('#div_global_config'), true, `"${port}"`);
        }
        assert.deepEqual(log.posts, []);
        /* A port again, and OK posts. */
        await page.fill('#edt_http_port', String(h.PORT));
        await page.click('#btn_global_config_ok');
        assert.equal(await page.isVisible('#div_global_config'), false);
        await h.waitUntil(() => log.posts.length === 1, 'the post');
        await context.close();
    });
});

/* The editor's fields with what they show. */
function editorFields(page)
{
    return page.evaluate(() => Array.from(document.querySelectorAll('#div_editor input, #div_editor select'))
        .map((el) => [el.id, el.type === 'checkbox' ? el.checked : el.value, el.disabled]));
}

test('the editor: read-only look, no channel after a Remove or a cancelled New Channel, buttons that would do nothing', async () => {
    await h.withDaemon(h.configuration(), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        const atStart = await editorFields(page);
        assert.equal(await page.isVisible('#tab_mbr'), false);
        assert.equal(await page.isDisabled('#btn_create'), false);
        assert.equal(await page.isDisabled('#btn_remove'), false);

        /* New Channel, changed, cancelled: nothing of it stays in the editor. */
        await page.click('#btn_create');
        assert.equal(await page.isDisabled('#btn_create'), true);
        assert.equal(await page.isDisabled('#btn_remove'), true);
        await page.fill('#edt_src_url', '/media/discarded.mp4');
        await page.selectOption('#sel_tgt_fmt', 'hls');
        await page.fill('#edt_frame_rate', '50');
        await page.click('#btn_cancel');
        assert.deepEqual(await editorFields(page), atStart);
        assert.equal(await page.isVisible('#tab_mbr'), false);
        assert.equal(await page.evaluate(() => curChannel), null);
        assert.equal(await page.isDisabled('#btn_create'), false);

        /* One made and shown read-only; its editable lists look like the lists beside them. */
        await page.click('#btn_create');
        await page.fill('#edt_src_url', '/media/made.mp4');
        await page.selectOption('#sel_tgt_fmt', 'udp');
        await page.click('#btn_apply');
        await h.waitSavedChannels((list) => list.length === 1, 'the channel saved');
        await h.waitUntil(async () => (await h.cellText(page, 1, 1)) === '/media/made.mp4', 'row 1');
        await h.selectRow(page, 1);
        for (const id of ['edt_frame_rate', 'edt_video_bitrate', 'edt_sample_rate', 'edt_audio_bitrate']) {
            assert.equal(await page.isDisabled('#' + id), true, id);
            const seam = await editableSeam(page, id);
            for (const k of [0, 1]) {
                const gap = Math.max(...seam.box[k].map((v, i) => Math.abs(v - seam.list[k][i])));
                assert.ok(gap <= 4, `${id}: ${JSON.stringify(seam)}`);
            }
        }
        await page.locator('#div_editor').screenshot({path: h.OUT_DIR + '/operator-editor-read-only.png'});

        /* Removed: the editor shows no channel, as at the start. */
        await page.click('#btn_remove');
        await h.waitSavedChannels((list) => list.length === 0, 'the removal saved');
        await h.waitUntil(async () => !(await page.isDisabled('#btn_remove')), 'Remove on again');
        assert.deepEqual(await editorFields(page), atStart);
        assert.equal(await page.isVisible('#tab_mbr'), false);
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 0);
        await page.locator('#div_editor').screenshot({path: h.OUT_DIR + '/operator-editor-no-channel.png'});
        assert.deepEqual(log.dialogs, ['Warning: Remove this channel?']);
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});
