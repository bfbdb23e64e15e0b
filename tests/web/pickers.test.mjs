/* pickers.test.mjs -- the DeckLink and NDI pickers of the channel editor on the real daemon: without
 * the device libraries, and with the tests' fake libraries beside the daemon (devices with and
 * without modes, a mode code from 2^31 on, names that look like markup, NDI searches with the
 * timeout as typed and as bounded), a search in progress and a search that fails. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import * as h from './support/harness.mjs';

const s = h.suite();

const CARD = 'Card "A" <b>1</b>';
/* One card with three input modes (the last with a code whose top bit is set: 0xF0 'o' 'u' 't') and
 * one output mode, and a card without modes. */
const DECKLINK = `IO\t${CARD}\ti:Hp30,1920,1080,30000,1001,prog\ti:Hi50,1920,1080,25,1,uppr` +
                 '\ti:0xF06F7574,720,576,25,1,lowr\to:Hp60,1280,720,60000,1001,prog\n' +
                 'IO\tEmpty card\n';
/* Each wait of the fake sleeps at most 5 ms: a search of a minute, waited in 600 pieces, takes
 * a few seconds. */
const NDI = 'step=5\nCam <i>1</i>\t10.0.0.1:5961\nStudio "B"\t10.0.0.2:5961\n';

function configuration()
{
    return h.configuration({channels: [h.channel({memo: 'one'})]});
}

async function tableTexts(page, id)
{
    return page.$$eval(`#${id} tbody td`, (cells) => cells.map((c) => c.textContent));
}

/* The background of each row of a picker's table. */
async function rowColours(page, id)
{
    return page.$$eval(`#${id} tbody tr`, (rows) => rows.map((r) => getComputedStyle(r).backgroundColor));
}

async function waitTable(page, id, first)
{
    await page.waitForFunction(([tableId, text]) => {
        const cell = document.querySelector(`#${tableId} tbody td`);
        return cell && cell.textContent === text;
    }, [id, first], {timeout: h.WAIT_MS});
}

async function clickRow(page, id, n)
{
    await page.click(`#${id} tbody tr:nth-child(${n}) td`);
}

/* The paths and queries of the page's requests that match. */
function paths(log, pattern)
{
    return h.requestsMatching(log, pattern).map((url) => url.replace(h.BASE, ''));
}

const WHITE = 'rgb(255, 255, 255)';
const BLUE = 'rgb(187, 221, 255)';

test('without the device libraries: no devices, no sources, and OK does nothing', async () => {
    await h.withDaemon(configuration(), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.editRow(page, 1);
        await page.selectOption('#sel_src_fmt', 'decklink');
        await waitTable(page, 'tbl_decklink_device', 'No Decklink devices found');
        assert.deepEqual(await tableTexts(page, 'tbl_decklink_format'), []);
        assert.equal(await page.isDisabled('#btn_decklink_ok'), false);
        await page.click('#btn_decklink_ok');
        assert.equal(await page.isVisible('#div_decklink_config'), true);
        await page.click('#btn_decklink_cancel');
        assert.deepEqual(paths(log, /^\/decklink_config/), ['/decklink_config?output=0']);

        await page.selectOption('#sel_src_fmt', 'ndi');
        await waitTable(page, 'tbl_ndi_source', 'No NDI sources found');
        await page.click('#btn_ndi_ok');
        assert.equal(await page.isVisible('#div_ndi_config'), true);
        await page.keyboard.press('Escape');
        assert.deepEqual(paths(log, /^\/ndi_config/), ['/ndi_config?timeout=1']);
        assert.equal(await page.inputValue('#edt_src_url'), '');
        assert.deepEqual(await page.evaluate(() => curChannel.input.formatOptions), []);
        await page.click('#btn_cancel');
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('DeckLink: devices and formats, the mode picked for a source and for a target', async () => {
    const fakes = (daemon) => {
        daemon.installFakeDevices();
        return {env: {RUXO_FAKE_DECKLINK: DECKLINK}};
    };
    await h.withDaemon(configuration(), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.editRow(page, 1);
        await page.selectOption('#sel_src_fmt', 'decklink');
        await waitTable(page, 'tbl_decklink_device', CARD);
        assert.deepEqual(await tableTexts(page, 'tbl_decklink_device'), [CARD, 'Empty card']);
        assert.equal(await page.locator('#div_decklink_config b, #div_decklink_config i').count(), 0);
        assert.deepEqual(await tableTexts(page, 'tbl_decklink_format'),
                         ['1920x1080p @ 30000/1001 fps', '1920x1080i @ 25/1 fps', '720x576i @ 25/1 fps']);
        assert.deepEqual(await rowColours(page, 'tbl_decklink_device'), [BLUE, WHITE]);
        assert.deepEqual(await rowColours(page, 'tbl_decklink_format'), [BLUE, WHITE, WHITE]);
        await h.screenshot(page, 'picker-decklink');

        /* A card without modes: an empty format table, and OK does nothing. */
        await clickRow(page, 'tbl_decklink_device', 2);
        assert.deepEqual(await rowColours(page, 'tbl_decklink_device'), [WHITE, BLUE]);
        assert.deepEqual(await tableTexts(page, 'tbl_decklink_format'), []);
        await page.click('#btn_decklink_ok');
        assert.equal(await page.isVisible('#div_decklink_config'), true);

        /* The mode whose code is at or above 2^31. */
        await clickRow(page, 'tbl_decklink_device', 1);
        await clickRow(page, 'tbl_decklink_format', 3);
        assert.deepEqual(await rowColours(page, 'tbl_decklink_format'), [WHITE, WHITE, BLUE]);
        await page.click('#btn_decklink_ok');
        assert.equal(await page.isVisible('#div_decklink_config'), false);
        assert.equal(await page.inputValue('#edt_src_url'), CARD);
        assert.deepEqual(await page.evaluate(() => curChannel.input.formatOptions), ['-format_code \u00f0out']);

        /* Another type empties the list; each OK adds its entry. */
        await page.selectOption('#sel_src_fmt', 'file');
        await page.selectOption('#sel_src_fmt', 'decklink');
        await waitTable(page, 'tbl_decklink_device', CARD);
        await clickRow(page, 'tbl_decklink_format', 2);
        await page.click('#btn_decklink_ok');
        assert.deepEqual(await page.evaluate(() => curChannel.input.formatOptions), ['-format_code Hi50']);

        /* The output side for a DeckLink target: its frame size and unrounded rate. */
        await page.selectOption('#sel_tgt_fmt', 'decklink');
        await waitTable(page, 'tbl_decklink_device', CARD);
        assert.deepEqual(await tableTexts(page, 'tbl_decklink_format'), ['1280x720p @ 60000/1001 fps']);
        await page.click('#btn_decklink_ok');
        assert.deepEqual(await h.fieldValues(page, ['edt_tgt_url', 'sel_frame_size', 'edt_frame_width',
                                                   'edt_frame_height', 'edt_frame_rate']),
                         {edt_tgt_url: CARD, sel_frame_size: 'hd', edt_frame_width: '1280', edt_frame_height: '720',
                          edt_frame_rate: String(60000 / 1001)});
        assert.deepEqual(paths(log, /^\/decklink_config/),
                         ['/decklink_config?output=0', '/decklink_config?output=0', '/decklink_config?output=1']);

        await page.click('#btn_apply');
        const saved = await h.waitSavedChannels((list) => list[0].input.sources[0].format === 'decklink', 'the channel saved');
        assert.equal(saved[0].input.sources[0].url, CARD);
        assert.deepEqual(saved[0].input.formatOptions, ['-format_code Hi50']);
        const target = saved[0].output.targets[0];
        assert.deepEqual([target.format, target.url, target.video.width, target.video.height, target.video.frameRate],
                         ['decklink', CARD, 1280, 720, 60000 / 1001]);
        assert.deepEqual(log.dialogs, []);
        assert.deepEqual(log.errors, []);
        await context.close();
    }, 'fake', fakes);
});

test('NDI: sources found, the timeout as the search and the source carry it', async () => {
    let fakeLog = '';
    const fakes = (daemon) => {
        daemon.installFakeDevices();
        fakeLog = daemon.file('fake.log');
        return {env: {RUXO_FAKE_NDI: NDI, RUXO_FAKE_LOG: fakeLog}};
    };
    await h.withDaemon(configuration(), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.editRow(page, 1);
        await page.selectOption('#sel_src_fmt', 'ndi');
        await waitTable(page, 'tbl_ndi_source', 'Cam <i>1</i>  (10.0.0.1:5961)');
        assert.deepEqual(await tableTexts(page, 'tbl_ndi_source'),
                         ['Cam <i>1</i>  (10.0.0.1:5961)', 'Studio "B"  (10.0.0.2:5961)']);
        assert.equal(await page.locator('#div_ndi_config i').count(), 0);
        assert.deepEqual(await rowColours(page, 'tbl_ndi_source'), [BLUE, WHITE]);
        await h.screenshot(page, 'picker-ndi');

        /* The box's text is read as whole seconds from 1 to 60. */
        const searches = [['3', 3], ['0', 1], ['-5', 1], ['2.7', 2], ['99', 60], ['3', 3]];
        for (const [typed, seconds] of searches) {
            fs.writeFileSync(fakeLog, '');
            await page.fill('#edt_ndi_timeout', typed);
            const reply = page.waitForResponse((r) => /\/ndi_config/.test(r.url()));
            await page.click('#btn_ndi_search');
            assert.equal((await reply).url(), `${h.BASE}/ndi_config?timeout=${seconds}`, typed);
            await waitTable(page, 'tbl_ndi_source', 'Cam <i>1</i>  (10.0.0.1:5961)');
            /* The daemon waits in pieces of at most 100 ms, so that a stop of the server ends a
             * search at once: the first piece brings the change, the rest add up to one step. */
            const waits = [...fs.readFileSync(fakeLog, 'utf8').matchAll(/^wait (\d+)$/gm)].map((m) => Number(m[1]));
            assert.equal(waits.slice(1).reduce((a, b) => a + b, 0), seconds * 1000, typed);
            assert.equal(await page.inputValue('#edt_ndi_timeout'), String(seconds));
        }
        await clickRow(page, 'tbl_ndi_source', 2);
        assert.deepEqual(await rowColours(page, 'tbl_ndi_source'), [WHITE, BLUE]);
        await page.click('#btn_ndi_ok');
        assert.equal(await page.isVisible('#div_ndi_config'), false);
        assert.equal(await page.inputValue('#edt_src_url'), 'Studio "B"');
        assert.deepEqual(await page.evaluate(() => curChannel.input.formatOptions), ['-wait_sources 3']);

        await page.click('#btn_apply');
        const saved = await h.waitSavedChannels((list) => list[0].input.sources[0].format === 'ndi', 'the channel saved');
        assert.deepEqual(saved[0].input.sources[0].url, 'Studio "B"');
        assert.deepEqual(saved[0].input.formatOptions, ['-wait_sources 3']);
        assert.deepEqual(log.dialogs, []);
        assert.deepEqual(log.errors, []);
        await context.close();
    }, 'fake', fakes);
});

test('a search in progress and a search that fails', async () => {
    await h.withDaemon(configuration(), async () => {
        const {context, page} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.editRow(page, 1);
        /* The reply is held until the test lets it go. */
        let release = null;
        const held = new Promise((resolve) => { release = resolve; });
        await page.route(/\/ndi_config/, async (route) => {
            await held;
            await route.continue();
        });
        await page.selectOption('#sel_src_fmt', 'ndi');
        assert.deepEqual(await tableTexts(page, 'tbl_ndi_source'), ['Searching...']);
        assert.equal(await page.isDisabled('#btn_ndi_ok'), true);
        assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('#tbl_ndi_source td')).cursor), 'wait');
        await h.screenshot(page, 'picker-ndi-searching');
        release();
        await waitTable(page, 'tbl_ndi_source', 'No NDI sources found');
        assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('#tbl_ndi_source td')).cursor), 'pointer');
        assert.equal(await page.isDisabled('#btn_ndi_ok'), false);
        await page.unroute(/\/ndi_config/);
        await page.keyboard.press('Escape');

        /* A route that answers another status leaves "Searching..." and OK off; Cancel closes. */
        await page.route(/\/(ndi|decklink)_config/, (route) => route.fulfill({status: 500, body: ''}));
        for (const [type, table, ok, cancel] of [['decklink', 'tbl_decklink_device', 'btn_decklink_ok', 'btn_decklink_cancel'],
                                                 ['ndi', 'tbl_ndi_source', 'btn_ndi_ok', 'btn_ndi_cancel']]) {
            const finished = page.waitForEvent('requestfinished', (r) => r.url().includes('_config'));
            await page.selectOption('#sel_src_fmt', type);
            assert.equal((await (await finished).response()).status(), 500);
            assert.deepEqual(await tableTexts(page, table), ['Searching...'], type);
            assert.equal(await page.isDisabled('#' + ok), true, type);
            await page.click('#' + cancel);
            assert.equal(await page.locator('.popup_box:visible').count(), 0, type);
            await page.selectOption('#sel_src_fmt', 'file');
        }
        await context.close();
    });
});
