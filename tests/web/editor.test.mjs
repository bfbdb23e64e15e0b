/* editor.test.mjs -- the channel editor against the real daemon and its scripted fake transcoder:
 * a channel created in the page, saved and shown again after a reload; the editor's alerts and
 * confirmations; five outputs of one channel and the duplicate-URL confirmation; the output tabs
 * when the target format changes; removing channels while a later one runs, and then when all
 * are idle. Each test that changes the configuration has a daemon of its own. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as h from './support/harness.mjs';

const s = h.suite();

function channels(n)
{
    const list = [];
    for (let i = 1; i <= n; i++)
        list.push(h.channel({url: `/media/ch${i}.mp4`, memo: `memo ${i}`, targetUrl: `udp://127.0.0.1:${1000 + i}`}));
    return h.configuration({channels: list});
}

function tabLabels(page)
{
    return page.$$eval('#tab_mbr .mbr_tab', (tabs) => tabs.map((t) => t.textContent + (t.classList.contains('active') ? '*' : '')));
}

test('New Channel: the channel is edited in the next row, saved on Apply and shown after a reload', async () => {
    await h.withDaemon(channels(1), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        /* Outside edit mode the editor shows the selected channel read-only. */
        assert.equal(await page.isDisabled('#sel_tgt_fmt'), true);
        assert.equal(await page.isDisabled('#btn_apply'), true);
        assert.equal(await page.isVisible('#edt_src_url'), false);
        assert.equal(await page.inputValue('#edt_tgt_url'), 'udp://127.0.0.1:1001');

        await page.click('#btn_create');
        assert.equal(await h.editingRow(page), 2);
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 2);
        /* The source and memo boxes stand in row 2's cells. */
        assert.equal(await page.locator('#tbl_channels tbody tr:nth-child(2) td:nth-child(2) #sel_src_fmt').count(), 1);
        assert.equal(await page.locator('#tbl_channels tbody tr:nth-child(2) td:nth-child(3) #edt_memo').count(), 1);
        assert.equal(await h.cellText(page, 2, 0), '2');
        assert.deepEqual(await h.fieldValues(page, ['sel_src_fmt', 'edt_src_url', 'sel_tgt_fmt', 'edt_tgt_url',
            'chk_enable_video', 'sel_video_codec', 'sel_frame_size', 'edt_frame_width', 'edt_frame_rate',
            'edt_video_quality', 'edt_video_bitrate', 'edt_video_kfi', 'edt_mux_bitrate', 'chk_mux_cbr',
            'chk_enable_audio', 'sel_audio_codec', 'edt_sample_rate', 'sel_audio_channel', 'edt_audio_bitrate']), {
            sel_src_fmt: 'file', edt_src_url: '', sel_tgt_fmt: 'udp', edt_tgt_url: 'udp://127.0.0.1:1234',
            chk_enable_video: true, sel_video_codec: 'h264', sel_frame_size: 'original', edt_frame_width: '0',
            edt_frame_rate: 'Original', edt_video_quality: 'Default', edt_video_bitrate: 'Default',
            edt_video_kfi: '5', edt_mux_bitrate: '0', chk_mux_cbr: false, chk_enable_audio: true,
            sel_audio_codec: 'aac', edt_sample_rate: 'Original', sel_audio_channel: '2', edt_audio_bitrate: 'Default',
        });
        assert.equal(await page.getAttribute('#edt_frame_width', 'readonly'), '');
        assert.equal(await page.isDisabled('#btn_edit'), true);

        await page.fill('#edt_src_url', '/media/new.mp4');
        await page.fill('#edt_memo', 'the new one');
        await page.selectOption('#sel_tgt_fmt', 'hls');
        assert.equal(await page.inputValue('#edt_tgt_url'), '/media/stream.m3u8');
        assert.equal(await page.isVisible('#tab_mbr'), true);
        await page.fill('#edt_tgt_url', '/media/out/live.m3u8');
        await page.selectOption('#sel_frame_size', 'hd');
        assert.deepEqual(await h.fieldValues(page, ['edt_frame_width', 'edt_frame_height']),
                         {edt_frame_width: '1280', edt_frame_height: '720'});
        /* An editable list copies the entry into its box. */
        await page.selectOption('#sel_frame_rate', '29.97');
        assert.equal(await page.inputValue('#edt_frame_rate'), '29.97');
        await page.fill('#edt_video_bitrate', '1500');
        await page.selectOption('#sel_sample_rate', '48000');
        await page.selectOption('#sel_audio_channel', '1');
        await h.screenshot(page, 'editor-new-channel');
        await page.click('#btn_apply');
        assert.equal(await h.editingRow(page), 0);
        assert.equal(await page.isVisible('#edt_src_url'), false);

        const saved = await h.waitSavedChannels((list) => list.length === 2, 'the second channel saved');
        const ch = saved[1];
        assert.equal(ch.enable, false);
        assert.equal(ch.memo, 'the new one');
        assert.deepEqual(ch.input, {sources: [{format: 'file', url: '/media/new.mp4', video: {options: []}}],
                                    formatOptions: [], customOptions: ''});
        const t = ch.output.targets[0];
        assert.equal(ch.output.targets.length, 1);
        assert.equal(t.format, 'hls');
        assert.equal(t.url, '/media/out/live.m3u8');
        assert.deepEqual(t.video, {enable: true, codec: 'h264', width: 1280, height: 720, frameRate: 29.97,
                                   keyFrameInterval: 5, quality: 0, bitRate: 1500, scanType: 0, IP: '127.0.0.1',
                                   port: 1234, globalHeader: 'inBand', options: ['-preset:v faster']});
        assert.deepEqual(t.audio, {enable: true, codec: 'aac', sampleRate: 48000, channels: 1, bitRate: 0});
        assert.deepEqual(t.mux, {bitRate: 0, cbr: false});
        assert.deepEqual(t.rtmp, {flashVer: '', swfUrl: '', user: '', passwd: ''});
        assert.deepEqual(ch.output.formatOptions, ['-hls_time 5']);
        assert.deepEqual(ch.output.timeShift, {cacheTime: 0, cacheFolder: ''});
        assert.equal(log.posts.length, 1);
        /* The page took the daemon's reply as its model. */
        assert.equal(await page.evaluate(() => jsonConfig.channels.length), 2);

        await page.reload();
        await h.openManager(page);
        assert.equal(await h.cellText(page, 2, 1), '/media/new.mp4');
        assert.equal(await h.cellText(page, 2, 2), 'the new one');
        await h.selectRow(page, 2);
        assert.deepEqual(await h.fieldValues(page, ['sel_tgt_fmt', 'edt_tgt_url', 'sel_frame_size', 'edt_frame_rate',
                                             'edt_video_bitrate', 'edt_sample_rate', 'sel_audio_channel']), {
            sel_tgt_fmt: 'hls', edt_tgt_url: '/media/out/live.m3u8', sel_frame_size: 'hd', edt_frame_rate: '29.97',
            edt_video_bitrate: '1500', edt_sample_rate: '48000', sel_audio_channel: '1',
        });
        await h.screenshot(page, 'editor-channel-shown');
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('the editor\'s alerts: no selection, empty URLs, CBR without a mux bit rate, a declined removal', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.withDaemon(channels(2), async () => {
        await h.openManager(page);
        /* A new channel cancelled leaves no row selected and its row empty. */
        await page.click('#btn_create');
        assert.equal(await h.cellText(page, 3, 0), '3');
        await page.keyboard.press('Escape');
        assert.equal(await h.editingRow(page), 0);
        assert.equal(await h.cellText(page, 3, 0), '');
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 0);

        const cases = [
            {what: 'Edit without a selected row', act: () => page.click('#btn_edit'),
             alert: 'Please select channel first.'},
            {what: 'Remove without a selected row', act: () => page.click('#btn_remove'),
             alert: 'Please select channel first.'},
            {what: 'an empty source URL', before: () => h.editRow(page, 1),
             act: async () => { await page.fill('#edt_src_url', ''); await page.click('#btn_apply'); },
             alert: 'Setting Error: Source URL empty!', focus: 'edt_src_url', stillEditing: true},
            {what: 'an empty target URL',
             act: async () => { await page.fill('#edt_src_url', 'x'); await page.fill('#edt_tgt_url', '');
                                await page.click('#btn_apply'); },
             alert: 'Setting Error: Target URL empty!', focus: 'edt_tgt_url', stillEditing: true},
            {what: 'CBR with a mux bit rate of 0', act: () => page.check('#chk_mux_cbr', {force: true}).catch(() => {}),
             alert: 'Cannot enable CBR with ZERO Mux Bitrate!', stillEditing: true},
        ];
        for (const c of cases) {
            if (c.before)
                await c.before();
            const nDialogs = log.dialogs.length;
            await c.act();
            await h.waitUntil(() => log.dialogs.length > nDialogs, c.what);
            assert.equal(log.dialogs[nDialogs], c.alert, c.what);
            if (c.focus)
                assert.equal(await page.evaluate(() => document.activeElement.id), c.focus, c.what);
            assert.equal(Boolean(await h.editingRow(page)), Boolean(c.stillEditing), c.what);
        }
        assert.equal(await page.isChecked('#chk_mux_cbr'), false);
        /* With a mux bit rate CBR stays on, without a word. */
        await page.fill('#edt_mux_bitrate', '3000');
        await page.check('#chk_mux_cbr');
        assert.equal(await page.isChecked('#chk_mux_cbr'), true);
        await h.screenshot(page, 'editor-editing');
        await page.click('#btn_cancel');
        assert.equal(await h.editingRow(page), 0);
        assert.equal(await h.cellText(page, 1, 1), '/media/ch1.mp4');
        assert.equal(await page.inputValue('#edt_tgt_url'), 'udp://127.0.0.1:1001');
        assert.equal(await page.isChecked('#chk_mux_cbr'), false);

        /* A declined removal changes nothing. */
        const nDialogs = log.dialogs.length;
        await page.click('#btn_remove');
        await h.waitUntil(() => log.dialogs.length > nDialogs, 'the confirmation');
        assert.equal(log.dialogs[nDialogs], 'Warning: Remove this channel?');
        assert.equal(log.dialogs.length, nDialogs + 1);
        assert.deepEqual(log.posts, []);
        assert.equal(await page.evaluate(() => jsonConfig.channels.length), 2);
        assert.equal(JSON.parse(h.savedConfig()).channels.length, 2);
        assert.deepEqual(log.errors, []);
    });
    await context.close();
});

test('five outputs, the duplicate-URL confirmation, and the tabs when the format changes', async () => {
    await h.withDaemon(channels(1), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        /* Not editing: the tab bar shows, "+" and "-" do not. */
        assert.deepEqual(await tabLabels(page), ['Output1*']);
        assert.equal(await page.isVisible('#tab_mbr_add'), false);
        await h.editRow(page, 1);
        assert.equal(await page.isVisible('#tab_mbr_add'), true);
        for (let i = 0; i < 5; i++)
            await page.click('#tab_mbr_add');
        assert.deepEqual(await tabLabels(page), ['Output1', 'Output2', 'Output3', 'Output4', 'Output5*']);
        /* Each tab keeps its own URL; Output3 keeps the first one's. */
        for (const [tab, port] of [[2, 2002], [4, 2004], [5, 2005]]) {
            await page.click(`#tab_mbr .mbr_tab:nth-of-type(${tab})`);
            await page.fill('#edt_tgt_url', `udp://127.0.0.1:${port}`);
        }
        await page.click('#tab_mbr .mbr_tab:nth-of-type(4)');
        await page.selectOption('#sel_video_codec', 'h265');
        await page.click('#tab_mbr .mbr_tab:nth-of-type(2)');
        assert.equal(await page.inputValue('#edt_tgt_url'), 'udp://127.0.0.1:2002');
        assert.equal(await page.inputValue('#sel_video_codec'), 'h264');
        await h.screenshot(page, 'editor-five-outputs');

        await page.click('#btn_apply');
        await h.waitUntil(() => log.dialogs.length === 1, 'the confirmation');
        assert.equal(log.dialogs[0], 'Duplicated target URLs found in multi-bitrate output!\nSure to continue?');
        assert.equal(await h.editingRow(page), 1);
        assert.deepEqual(log.posts, []);
        log.acceptConfirm = true;
        await page.click('#btn_apply');
        const saved = await h.waitSavedChannels((list) => list[0].output.targets.length === 5, 'five targets saved');
        assert.deepEqual(saved[0].output.targets.map((t) => t.url),
                         ['udp://127.0.0.1:1001', 'udp://127.0.0.1:2002', 'udp://127.0.0.1:1001',
                          'udp://127.0.0.1:2004', 'udp://127.0.0.1:2005']);
        assert.deepEqual(saved[0].output.targets.map((t) => t.video.codec), ['h264', 'h264', 'h264', 'h265', 'h264']);
        assert.deepEqual(saved[0].output.targets[3].video.options, ['-preset:v faster']);

        /* "-" removes the tab shown and shows the first; the last one stays. */
        await h.editRow(page, 1);
        await page.click('#tab_mbr .mbr_tab:nth-of-type(2)');
        await page.click('#tab_mbr_del');
        assert.deepEqual(await tabLabels(page), ['Output1*', 'Output2', 'Output3', 'Output4']);
        await page.click('#tab_mbr .mbr_tab:nth-of-type(2)');
        assert.equal(await page.inputValue('#edt_tgt_url'), 'udp://127.0.0.1:1001');
        for (let i = 0; i < 5; i++)
            await page.click('#tab_mbr_del');
        assert.deepEqual(await tabLabels(page), ['Output1*']);
        for (let i = 0; i < 2; i++)
            await page.click('#tab_mbr_add');
        /* A file has one output: the others go, and so do the tab bar, "+" and "-". */
        await page.selectOption('#sel_tgt_fmt', 'file');
        assert.deepEqual(await tabLabels(page), ['Output1*']);
        assert.equal(await page.isVisible('#tab_mbr'), false);
        assert.equal(await page.isVisible('#tab_mbr_add'), false);
        assert.equal(await page.inputValue('#edt_tgt_url'), '/media/stream.mov');
        await page.selectOption('#sel_tgt_fmt', 'udp');
        assert.equal(await page.isVisible('#tab_mbr_add'), true);
        assert.equal(await page.inputValue('#edt_tgt_url'), 'udp://127.0.0.1:1234');
        /* Any new format leaves one output, also one that may have several, as HLS. */
        await page.click('#tab_mbr_add');
        await page.selectOption('#sel_tgt_fmt', 'hls');
        assert.deepEqual(await tabLabels(page), ['Output1*']);
        assert.equal(await page.isVisible('#tab_mbr_add'), true);
        await page.click('#btn_cancel');
        assert.deepEqual(await tabLabels(page), ['Output1*', 'Output2', 'Output3', 'Output4', 'Output5']);
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('Remove: refused while a later channel runs, then done with the rows moved up', async () => {
    await h.withDaemon(channels(5), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        assert.equal((await h.daemonFetch('/channel5?start')).status, 200);
        await h.waitCell(page, 5, 3, h.RUNNING_TEXT);
        await h.selectRow(page, 3);
        await page.click('#btn_remove');
        await h.waitUntil(() => log.dialogs.length === 1, 'the alert');
        assert.deepEqual(log.dialogs, ['Please stop all channels before removing this channel.']);
        assert.deepEqual(log.posts, []);
        /* An earlier channel running is no reason to refuse. */
        await h.selectRow(page, 5);
        await page.click('#btn_stop');
        await h.waitCell(page, 5, 3, /^IDLE$/);
        assert.equal((await h.daemonFetch('/channel1?start')).status, 200);
        await h.waitCell(page, 1, 3, h.RUNNING_TEXT);

        await h.selectRow(page, 3);
        await page.click('#btn_remove');
        const saved = await h.waitSavedChannels((list) => list.length === 4, 'four channels saved');
        assert.deepEqual(log.dialogs.slice(1), ['Warning: Remove this channel?']);
        assert.deepEqual(saved.map((c) => c.input.sources[0].url),
                         ['/media/ch1.mp4', '/media/ch2.mp4', '/media/ch4.mp4', '/media/ch5.mp4']);
        /* Row 3 shows the channel that moved up, still selected; row 5 is empty. */
        await h.waitCell(page, 3, 1, /^\/media\/ch4\.mp4$/);
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 3);
        assert.equal(await page.inputValue('#edt_tgt_url'), 'udp://127.0.0.1:1004');
        for (let c = 0; c < 4; c++)
            assert.equal(await h.cellText(page, 5, c), '');
        assert.equal(await h.stateIcon(page, 5), '');
        assert.equal(await page.evaluate(() => jsonConfig.channels.length), 4);

        /* The last channel removed: the row above becomes the selected one. */
        await h.selectRow(page, 4);
        await page.click('#btn_remove');
        await h.waitSavedChannels((list) => list.length === 3, 'three channels saved');
        await page.waitForFunction(() => document.getElementById('tbl_channels').rowSelected === 3, null,
                                   {timeout: h.WAIT_MS});
        assert.equal(await h.cellText(page, 4, 0), '');
        /* A status reply sent before the removal paints no empty row. */
        const nStatus = h.requestsMatching(log, /^\/status$/).length;
        await h.waitUntil(() => h.requestsMatching(log, /^\/status$/).length >= nStatus + 2, 'two status polls');
        assert.equal(await h.cellText(page, 4, 3), '');
        await h.screenshot(page, 'editor-removed');
        await page.click('#btn_stop');
        await h.selectRow(page, 1);
        await page.click('#btn_stop');
        await h.waitDaemonState(0, 'idle');
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

/* What choosing each target format sets (the page's host is 127.0.0.1, its protocol http:). */
const FORMAT_CHOICES = [
    {format: 'rtmp', url: 'rtmp://192.168.1.2/live/stream', sel_video_codec: 'h264', edt_mux_bitrate: '0',
     chk_mux_cbr: false, sel_audio_codec: 'aac', edt_sample_rate: 'Original', slide_video_preset: '3'},
    {format: 'udp', url: 'udp://127.0.0.1:1234', sel_video_codec: 'vp8', edt_mux_bitrate: '500'},
    {format: 'http', url: 'http://127.0.0.1:1234', chk_mux_cbr: true, sel_audio_codec: 'mp3'},
    {format: 'httpmp4', url: 'http://127.0.0.1:1234', sel_video_codec: 'h264', edt_mux_bitrate: '0',
     chk_mux_cbr: false, sel_audio_codec: 'aac', edt_sample_rate: 'Original'},
    {format: 'rtpts', url: 'rtp://127.0.0.1:1234', edt_sample_rate: '44100'},
    {format: 'hls', url: '/media/stream.m3u8', sel_video_codec: 'h264', slide_video_preset: '3', edt_mux_bitrate: '500'},
    {format: 'dash', url: '/media/stream.mpd', sel_video_codec: 'h264'},
    {format: 'srt', url: 'srt://127.0.0.1:1234'},
    {format: 'file', url: '/media/stream.mov', edt_mux_bitrate: '0', chk_mux_cbr: false, sel_video_codec: 'vp8'},
    {format: 'ftp', url: 'ftp://192.168.1.2/media/stream.mp4', chk_mux_cbr: true},
    {format: 'ndi', url: 'RUXOD#1', edt_mux_bitrate: '0', chk_mux_cbr: false},
    {format: 'httpmjpg', url: 'http://127.0.0.1:1234', sel_video_codec: 'mjpeg', chk_enable_audio: false,
     sel_audio_codec: 'mp3'},
    {format: 'decklink', url: '', edt_mux_bitrate: '0', picker: '#div_decklink_config'},
];

const SOURCE_CHOICES = [
    ['http', '192.168.1.2/media/stream.m3u8'], ['ftp', '192.168.1.2/media/stream.mp4'], ['udp', '0.0.0.0:1234'],
    ['rtp', '0.0.0.0:1234'], ['srt', '0.0.0.0:1234'], ['rtsp', ''], ['rtspt', ''], ['rtmp', ''], ['mms', ''],
    ['mmst', ''], ['device', ''], ['file', ''], ['decklink', '', '#div_decklink_config'], ['ndi', '', '#div_ndi_config'],
];

test('choices in edit mode: each target format\'s settings, each source type\'s example, the pickers', async () => {
    await h.withDaemon(channels(1), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.editRow(page, 1);
        for (const c of FORMAT_CHOICES) {
            /* Settings the choice must reset, or leave. */
            await page.evaluate(() => {
                const set = (id, v) => { document.getElementById(id)[typeof v === 'boolean' ? 'checked' : 'value'] = v; };
                selectValue(document.getElementById('sel_video_codec'), 'vp8');
                initVideoCodec('vp8');
                [['edt_mux_bitrate', '500'], ['chk_mux_cbr', true], ['sel_audio_codec', 'mp3'], ['edt_sample_rate', '44100'],
                 ['edt_rtmp_user', 'someone'], ['edt_hls_seconds', '9'], ['chk_enable_audio', true]].forEach(([id, v]) => set(id, v));
                updatePanelCtrls();
                curChannel.output.formatOptions = ['-hls_time 9'];
            });
            await page.selectOption('#sel_tgt_fmt', c.format);
            const expected = Object.assign({}, c, {edt_tgt_url: c.url, edt_rtmp_user: '', edt_hls_seconds: '5'});
            delete expected.format;
            delete expected.url;
            delete expected.picker;
            assert.deepEqual(await h.fieldValues(page, Object.keys(expected)), expected, c.format);
            assert.deepEqual(await page.evaluate(() => curChannel.output.formatOptions), [], c.format);
            assert.equal(await page.isDisabled('#sel_audio_codec'), c.chk_enable_audio === false, c.format);
            if (c.picker) {
                assert.equal(await page.isVisible(c.picker), true, c.format);
                await page.keyboard.press('Escape');
            }
            assert.equal(await page.locator('.popup_box:visible').count(), 0, c.format);
        }
        /* The codec's reaction stored the target's video with the new codec's options alone. */
        await page.selectOption('#sel_tgt_fmt', 'rtmp');
        assert.deepEqual(await page.evaluate(() => curChannel.output.targets[0].video.options), ['-preset:v faster']);

        for (const [type, example, picker] of SOURCE_CHOICES) {
            await page.evaluate(() => {
                curChannel.input.formatOptions = ['-format_code Hi50'];
                curChannel.input.sources[0].video.options = ['-c:v h264_cuvid'];
            });
            await page.fill('#edt_src_url', 'typed');
            await page.selectOption('#sel_src_fmt', type);
            assert.equal(await page.inputValue('#edt_src_url'), example, type);
            assert.deepEqual(await page.evaluate(() => [curChannel.input.formatOptions, curChannel.input.sources[0].video.options]),
                             [[], []], type);
            assert.equal(await page.isVisible(picker || '#div_decklink_config'), Boolean(picker), type);
            if (picker)
                await page.keyboard.press('Escape');
        }
        /* The Enable boxes switch their panels' controls. */
        await page.uncheck('#chk_enable_video');
        assert.deepEqual(await page.evaluate(() => VIDEO_CTRLS.filter((id) => !document.getElementById(id).disabled)), []);
        assert.equal(await page.isDisabled('#sel_audio_codec'), false);
        await page.uncheck('#chk_enable_audio');
        assert.deepEqual(await page.evaluate(() => AUDIO_CTRLS.filter((id) => !document.getElementById(id).disabled)), []);
        await page.check('#chk_enable_audio');
        assert.deepEqual(await page.evaluate(() => AUDIO_CTRLS.filter((id) => document.getElementById(id).disabled)), []);
        await page.check('#chk_enable_video');
        assert.deepEqual(await page.evaluate(() => VIDEO_CTRLS.filter((id) => document.getElementById(id).disabled)), []);
        await page.click('#btn_cancel');
        assert.equal(await page.inputValue('#sel_tgt_fmt'), 'udp');
        assert.deepEqual(log.posts, []);
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('New Channel with every row in use does nothing', async () => {
    await h.withDaemon(channels(64), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 64, 3, /^IDLE$/);
        /* It looks disabled, and a click that reaches it all the same does nothing. */
        assert.equal(await page.isDisabled('#btn_create'), true);
        await page.click('#btn_create', {force: true});
        await page.evaluate(() => onCreateClick());
        assert.equal(await h.editingRow(page), 0);
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 1);
        assert.equal(await page.evaluate(() => jsonConfig.channels.length), 64);
        assert.deepEqual(log.dialogs, []);
        await context.close();
    });
});
