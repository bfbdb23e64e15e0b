/* settings.test.mjs -- the global settings box, configuration import and export, on the real daemon:
 * the box filled from "global" and written back with exactly its keys, a refused settings post,
 * awkward passwords through the login cookie, a new port, the exported file, and imports that are
 * accepted, declined and refused. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from './support/harness.mjs';

const s = h.suite();

const GLOBAL_KEYS = ['log', 'httpPort', 'sslEnable', 'sslCert', 'sslKey', 'ipACL', 'autoRun', 'autoRestart',
                     'folderRecur', 'cpuPerChannel', 'loginPass'];
const FIELDS = ['chk_debug_log', 'edt_http_port', 'chk_ssl', 'edt_ssl_cert', 'edt_ssl_key', 'edt_login_pass',
                'edt_acl', 'chk_autorun', 'chk_auto_restart', 'edt_auto_restart', 'chk_folder_recur',
                'chk_cpu_affinity', 'edt_cpu_affinity'];

function channels(memos)
{
    return memos.map((memo, i) => h.channel({url: `/media/${i + 1}.mp4`, memo}));
}

async function openSettings(page)
{
    await page.click('#btn_global_config');
    await page.waitForSelector('#div_global_config', {state: 'visible', timeout: h.WAIT_MS});
}

async function passwordColour(page)
{
    return page.evaluate(() => getComputedStyle(document.getElementById('edt_login_pass')).backgroundColor);
}

/* The saved file's "global", once check(global) holds for it. */
async function waitSavedGlobal(check, what)
{
    return (await h.waitSavedConfig((saved) => check(saved.global || {}), what)).global;
}

test('the settings box: filled from "global", OK writes exactly its keys in their order', async () => {
    const global = {log: 1, rtspPort: 554, sslEnable: true, sslCert: '/etc/ruxod/cert.pem', sslKey: '',
                    ipACL: 'allow all\ndeny 10.0.0.7', autoRun: true, autoRestart: 3, folderRecur: false,
                    cpuPerChannel: 0, extra: 'dropped'};
    await h.withDaemon(h.configuration({channels: channels(['one']), global}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await openSettings(page);
        assert.deepEqual(await h.fieldValues(page, FIELDS), {
            chk_debug_log: true, edt_http_port: '8888', chk_ssl: false, edt_ssl_cert: '/etc/ruxod/cert.pem',
            edt_ssl_key: '', edt_login_pass: '', edt_acl: 'allow all\ndeny 10.0.0.7', chk_autorun: true,
            chk_auto_restart: true, edt_auto_restart: '3', chk_folder_recur: false, chk_cpu_affinity: false,
            edt_cpu_affinity: '0',
        });
        /* "loginPass" is there and empty: anyone gets in. */
        assert.equal(await passwordColour(page), 'rgb(255, 255, 0)');
        assert.equal(await page.evaluate(() => document.querySelector('#sel_src_fmt option[value=device]').text), 'V4L2');
        await h.screenshot(page, 'settings-box');

        /* Cancel loses what was typed; an empty port box keeps the box open and sends nothing. */
        await page.fill('#edt_http_port', '9999');
        await page.click('#btn_global_config_cancel');
        assert.equal(await page.isVisible('#div_global_config'), false);
        await openSettings(page);
        assert.equal(await page.inputValue('#edt_http_port'), '8888');
        await page.fill('#edt_http_port', '');
        await page.click('#btn_global_config_ok');
        assert.equal(await page.isVisible('#div_global_config'), true);
        await page.fill('#edt_http_port', '70000');
        await page.click('#btn_global_config_ok');
        assert.equal(await page.isVisible('#div_global_config'), true);
        assert.deepEqual(log.posts, []);

        /* The linked boxes, SSL without a key file, and the rest. */
        await page.fill('#edt_http_port', '8888');
        await page.uncheck('#chk_debug_log');
        await page.check('#chk_ssl');
        await page.uncheck('#chk_auto_restart');
        assert.equal(await page.inputValue('#edt_auto_restart'), '0');
        await page.check('#chk_cpu_affinity');
        assert.equal(await page.inputValue('#edt_cpu_affinity'), '1');
        await page.fill('#edt_cpu_affinity', '2');
        await page.check('#chk_folder_recur');
        await page.uncheck('#chk_autorun');
        await page.fill('#edt_acl', 'deny all\nallow 127.0.0.1\n');
        await page.fill('#edt_login_pass', '');
        await page.click('#btn_global_config_ok');
        assert.equal(await page.isVisible('#div_global_config'), false);
        let saved = await waitSavedGlobal((g) => g.cpuPerChannel === 2, 'the new settings saved');
        assert.deepEqual(Object.keys(saved), GLOBAL_KEYS);
        assert.deepEqual(saved, {log: 0, httpPort: 8888, sslEnable: false, sslCert: '/etc/ruxod/cert.pem', sslKey: '',
                                 ipACL: 'deny all\nallow 127.0.0.1\n', autoRun: false, autoRestart: 0,
                                 folderRecur: true, cpuPerChannel: 2, loginPass: ''});
        assert.deepEqual(await page.evaluate(() => Object.keys(jsonConfig.global)), GLOBAL_KEYS);

        /* Debug Log writes 32; with both files SSL is on, and the daemon refuses files that do not
         * exist, saying which; without SSL the same settings are taken (the new key path asks for
         * a restart). */
        const savedBefore = h.savedConfig();
        await openSettings(page);
        await page.check('#chk_debug_log');
        assert.equal(await page.isChecked('#chk_ssl'), false);
        await page.check('#chk_ssl');
        await page.fill('#edt_ssl_key', '/etc/ruxod/key.pem');
        await page.check('#chk_auto_restart');
        await page.click('#btn_global_config_ok');
        await h.waitUntil(() => log.dialogs.length === 1, 'the refusal');
        assert.equal(log.dialogs[0], 'Configuration not saved: cannot use the certificate /etc/ruxod/cert.pem: ' +
                                     'cannot open /etc/ruxod/cert.pem: No such file or directory');
        assert.equal(h.savedConfig(), savedBefore);
        await openSettings(page);
        assert.equal(await page.isChecked('#chk_ssl'), true);
        await page.uncheck('#chk_ssl');
        const tmOk = Date.now();
        await page.click('#btn_global_config_ok');
        saved = await waitSavedGlobal((g) => g.log === 32, 'Debug Log saved');
        assert.equal(saved.sslEnable, false);
        assert.equal(saved.sslKey, '/etc/ruxod/key.pem');
        assert.equal(saved.autoRestart, 1);
        await openSettings(page);
        assert.equal(await page.isChecked('#chk_ssl'), false);
        await page.click('#div_global_config .popup_box_close');
        assert.equal(saved.rtspPort, undefined);
        /* The daemon is back after its restart and the page still polls it. */
        await page.waitForResponse((r) => /\/status$/.test(r.url()) && r.status() === 200 &&
                                          r.request().timing().startTime > tmOk + 1500, {timeout: h.WAIT_MS});
        assert.equal(log.dialogs.length, 1);
        await context.close();
    });
});

test('what the box shows for the values a configuration may hold', async () => {
    const {context, page} = await h.newPage(s.browser);
    await h.withDaemon(h.configuration({channels: channels(['one'])}), async () => {
        await h.openManager(page);
        const cases = [
            [{loginPass: ''}, {edt_login_pass: '', colour: 'rgb(255, 255, 0)'}],
            [{}, {edt_login_pass: '', colour: 'rgb(255, 255, 255)'}],
            [{loginPass: 1234}, {edt_login_pass: '1234', colour: 'rgb(255, 255, 255)'}],
            [{log: '32', autoRestart: true, cpuPerChannel: 4.7, httpPort: '8080'},
             {chk_debug_log: true, chk_auto_restart: true, edt_auto_restart: '1', chk_cpu_affinity: true,
              edt_cpu_affinity: '4', edt_http_port: '8080'}],
            [{log: 0, autoRestart: -1, cpuPerChannel: 'x'},
             {chk_debug_log: false, chk_auto_restart: false, chk_cpu_affinity: false, edt_cpu_affinity: '0'}],
            [{sslEnable: true, sslCert: 'c.pem', sslKey: 'k.pem'}, {chk_ssl: true}],
            [{sslEnable: 1, sslCert: 'c.pem', sslKey: 'k.pem'}, {chk_ssl: false}],
            [{sslEnable: true, sslCert: 'c.pem'}, {chk_ssl: false, edt_ssl_key: ''}],
            [{autoRun: 1, folderRecur: true}, {chk_autorun: false, chk_folder_recur: true, edt_acl: ''}],
        ];
        for (const [global, expected] of cases) {
            const shown = await page.evaluate((g) => {
                updateGlobalCfg(g);
                return getComputedStyle(document.getElementById('edt_login_pass')).backgroundColor;
            }, global);
            const {colour, ...fields} = expected;
            assert.deepEqual(await h.fieldValues(page, Object.keys(fields)), fields, JSON.stringify(global));
            if (colour)
                assert.equal(shown, colour, JSON.stringify(global));
        }
    });
    await context.close();
});

test('a settings post the daemon refuses: the alert with its reason, the model keeps the new settings', async () => {
    await h.withDaemon(h.configuration({channels: channels(['one'])}), async () => {
        await h.whileConfigUnwritable(async () => {
            const {context, page, log} = await h.newPage(s.browser);
            await h.openManager(page);
            await openSettings(page);
            await page.check('#chk_folder_recur');
            await page.click('#btn_global_config_ok');
            await h.waitUntil(() => log.dialogs.length === 1, 'the alert');
            assert.match(log.dialogs[0], /^Configuration not saved: cannot write \/etc\/ruxod\/ruxod\.json/);
            assert.equal(await page.evaluate(() => jsonConfig.global.folderRecur), true);
            const daemonGlobal = JSON.parse(await (await h.daemonFetch('/config')).text()).global;
            assert.notEqual(daemonGlobal.folderRecur, true);
            await context.close();
        });
    });
});

test('awkward passwords: the page goes on with the cookie the daemon sets for each', async () => {
    await h.withDaemon(h.configuration({channels: channels(['one'])}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        /* Status replies by the time their request left: data, or the login page. */
        const replies = [];
        page.on('response', (response) => {
            if (/\/status$/.test(response.url())) {
                replies.push({sent: response.request().timing().startTime,
                              json: (response.headers()['content-type'] || '').startsWith('application/json')});
            }
        });
        await h.openManager(page);
        for (const pass of [' ', '+', '%', '&', ';', 'a b+c%41&d;e=f', '%%', '']) {
            await openSettings(page);
            await page.fill('#edt_login_pass', pass);
            const posted = page.waitForResponse((r) => /\/config$/.test(r.url()) && r.request().method() === 'POST');
            await page.click('#btn_global_config_ok');
            assert.equal((await posted).status(), 200);
            const saved = Date.now();
            assert.equal(JSON.parse(h.savedConfig()).global.loginPass, pass);
            await h.waitUntil(() => replies.some((r) => r.sent > saved && r.json),
                              `a status reply with ${JSON.stringify(pass)}`);
            assert.deepEqual(replies.filter((r) => r.sent > saved && !r.json), [], JSON.stringify(pass));
            if (pass !== '') {
                const cookie = 'auth=' + encodeURIComponent(pass);
                assert.equal((await h.daemonFetch('/status', {cookie})).headers.get('content-type'), 'application/json');
                assert.match((await h.daemonFetch('/status')).headers.get('content-type'), /^text\/html/);
            }
        }
        /* The editor's posts go on too. */
        await h.editRow(page, 1);
        await page.fill('#edt_memo', 'after the passwords');
        await page.click('#btn_apply');
        await h.waitSavedChannels((list) => list[0].memo === 'after the passwords', 'the memo saved');
        assert.deepEqual(log.dialogs, []);
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('a new port: the daemon answers there a second later, and no longer on the old one', async () => {
    await h.withDaemon(h.configuration({channels: channels(['one'])}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await openSettings(page);
        await page.fill('#edt_http_port', '8899');
        const tmClick = Date.now();
        await page.click('#btn_global_config_ok');
        const answers = async (port) => {
            try {
                return (await fetch(`http://127.0.0.1:${port}/runtime`)).status === 200;
            } catch {
                return false;
            }
        };
        await h.waitUntil(() => answers(8899), 'the daemon on port 8899');
        assert.ok(Date.now() - tmClick >= 950, `moved after ${Date.now() - tmClick} ms`);
        assert.equal(await answers(8888), false);
        assert.equal(JSON.parse(h.savedConfig()).global.httpPort, 8899);
        /* The open page keeps asking its own address. */
        const nStatus = log.requests.length;
        await h.waitUntil(() => log.requests.slice(nStatus).filter((u) => u === h.BASE + '/status').length >= 2,
                          'two more status requests');
        assert.deepEqual(log.requests.filter((u) => u.includes(':8899')), []);
        await context.close();
    });
});

test('Export gives the file "ruxod.json", the configuration as GET /config shows it', async () => {
    await h.withDaemon(h.configuration({channels: channels(['one', 'two']), loginPass: ''}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await openSettings(page);
        const [download] = await Promise.all([page.waitForEvent('download'), page.click('#btn_export_config')]);
        assert.equal(download.suggestedFilename(), 'ruxod.json');
        const body = fs.readFileSync(await download.path(), 'utf8');
        assert.equal(body, await (await h.daemonFetch('/config')).text());
        assert.deepEqual(JSON.parse(body).channels.map((c) => c.memo), ['one', 'two']);
        assert.deepEqual(h.requestsMatching(log, /^\/config\?dl=1$/).length, 1);
        /* The page stays. */
        await h.waitCell(page, 2, 2, /^two$/);
        await context.close();
    });
});

test('Import: declined sends nothing, refused keeps the page, accepted loads the page with the new rows', async () => {
    await h.withDaemon(h.configuration({channels: channels(['one', 'two'])}), async (daemon) => {
        const folder = daemon.file('chosen');
        fs.mkdirSync(folder, {recursive: true});
        const good = path.join(folder, 'imported.json');
        fs.writeFileSync(good, JSON.stringify(h.configuration({channels: channels(['imported A', 'imported B', 'imported C'])})));
        const broken = path.join(folder, 'broken.json');
        fs.writeFileSync(broken, '{"global": {"httpPort": 8888}, "channels": [');

        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 2, 2, /^two$/);
        const model = await page.evaluate(() => JSON.stringify(jsonConfig));
        const before = h.savedConfig();
        await openSettings(page);
        const question = (name) => `Import all channels from <${name}>?\nAll current channel settings will be OVERWRITTEN!`;

        await page.setInputFiles('#input_import_config', good);
        await h.waitUntil(() => log.dialogs.length === 1, 'the question');
        assert.equal(log.dialogs[0], question('imported.json'));
        assert.equal(await page.inputValue('#input_import_config'), '');
        assert.deepEqual(h.requestsMatching(log, /^\/config\?import/), []);

        /* A file that is no configuration: the daemon answers 400 and nothing changes. */
        log.acceptConfirm = true;
        await page.setInputFiles('#input_import_config', broken);
        await h.waitUntil(() => log.dialogs.length === 3, 'the question and the alert');
        assert.deepEqual(log.dialogs.slice(1), [question('broken.json'), 'Configuration not saved: not valid JSON']);
        assert.equal(await page.evaluate(() => JSON.stringify(jsonConfig)), model);
        assert.equal(h.savedConfig(), before);

        /* A reason the daemon gives is shown. */
        const reason = 'cannot write /etc/ruxod/ruxod.json: No space left on device';
        await page.route(/\/config\?import$/, (route) => route.fulfill({status: 500, contentType: 'text/plain', body: reason + '\n'}));
        await page.setInputFiles('#input_import_config', good);
        await h.waitUntil(() => log.dialogs.length === 5, 'the routed alert');
        assert.equal(log.dialogs[4], 'Configuration not saved: ' + reason);
        await page.unroute(/\/config\?import$/);
        assert.equal(await h.cellText(page, 2, 2), 'two');

        /* Accepted: the daemon saves it and the page loads afresh with its rows. */
        await Promise.all([page.waitForEvent('load'), page.setInputFiles('#input_import_config', good)]);
        await h.waitCell(page, 3, 2, /^imported C$/);
        assert.equal(await h.cellText(page, 1, 2), 'imported A');
        assert.equal(log.dialogs[5], question('imported.json'));
        assert.deepEqual((await h.waitSavedChannels((list) => list.length === 3, 'the import saved')).map((c) => c.memo),
                         ['imported A', 'imported B', 'imported C']);
        assert.equal(h.requestsMatching(log, /^\/config\?import$/).length, 3);
        assert.equal(log.dialogs.length, 6);
        assert.deepEqual(log.errors.filter((e) => !/status of (400|500)/.test(e)), []);
        await h.screenshot(page, 'settings-imported');
        await context.close();
    });
});
