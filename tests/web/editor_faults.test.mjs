/* editor_faults.test.mjs -- the channel editor's advanced boxes through Apply and a reload, and what
 * it must not get wrong: a late reply to a post while another channel is being edited, New
 * Channel and Remove during an edit, stored values the editor does not offer, and posts the
 * daemon does not accept. Against the real daemon with the scripted fake transcoder; replies the
 * daemon cannot be made to give are routed in the browser. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import * as h from './support/harness.mjs';

const s = h.suite();

/* Sets a range slider as a user drags it. */
function slide(page, id, value)
{
    return page.evaluate(([i, v]) => {
        const el = document.getElementById(i);
        el.value = String(v);
        el.dispatchEvent(new Event('input'));
    }, [id, value]);
}

const VIDEO_FIELDS = ['edt_video_profile', 'edt_video_level', 'edt_video_threads', 'slide_video_preset', 'edt_video_preset',
                      'chk_overlay_enable', 'edt_overlay_text', 'edt_overlay_fontsize', 'clr_overlay_color',
                      'rdo_overlay_right', 'edt_overlay_hpad', 'rdo_overlay_bottom', 'edt_overlay_vpad',
                      'chk_video_aspect', 'sel_scan_type', 'edt_gpu_number', 'sel_gpu_decoding'];

test('advanced video and format settings through Apply and a reload', async () => {
    const ch = h.channel({url: '/media/a.mp4', enable: true});
    ch.output.targets[0].video.options = ['-x264-params keyint=50', '-preset:v slow'];
    await h.withDaemon(h.configuration({channels: [ch]}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.waitCell(page, 1, 3, h.RUNNING_TEXT);
        assert.equal(await page.isDisabled('#btn_adv_video'), true);
        await h.editRow(page, 1);
        await page.selectOption('#sel_frame_size', 'hd');

        await page.click('#btn_adv_video');
        assert.equal(await page.isVisible('#div_video_codec'), true);
        assert.equal(await page.inputValue('#edt_video_preset'), '6');
        await page.selectOption('#sel_video_profile', 'high');
        await page.fill('#edt_video_level', '4.1');
        await page.selectOption('#sel_video_threads', '4');
        await slide(page, 'slide_video_preset', 8);
        assert.equal(await page.inputValue('#edt_video_preset'), '8');
        await h.screenshot(page, 'advanced-video-encodings');
        await page.click('#tab_video_overlay');
        assert.equal(await page.isDisabled('#edt_overlay_text'), true);
        await page.check('#chk_overlay_enable');
        assert.equal(await page.isDisabled('#edt_overlay_text'), false);
        await page.fill('#edt_overlay_text', 'Cam "one"');
        await page.fill('#edt_overlay_fontsize', '20');
        await page.evaluate(() => { document.getElementById('clr_overlay_color').value = '#ff0000'; });
        await page.check('#rdo_overlay_right');
        await page.fill('#edt_overlay_hpad', '10');
        await page.check('#rdo_overlay_bottom');
        await page.fill('#edt_overlay_vpad', '20');
        await h.screenshot(page, 'advanced-video-overlay');
        await page.click('#tab_video_misc');
        await page.check('#chk_video_aspect');
        await page.selectOption('#sel_scan_type', '1');
        await page.fill('#edt_gpu_number', '2');
        await page.selectOption('#sel_gpu_decoding', 'h264_cuvid');
        await h.screenshot(page, 'advanced-video-misc');
        await page.click('#btn_adv_video_ok');
        assert.equal(await page.isVisible('#div_adv_video'), false);

        await page.click('#btn_adv_fmt');
        assert.equal(await page.isVisible('#div_fmt_ts_in'), true);
        /* For a UDP target the RTMP and HLS fields are closed, the MPEG-TS ones open. */
        assert.equal(await page.isDisabled('#edt_rtmp_user'), true);
        assert.equal(await page.isDisabled('#edt_hls_seconds'), true);
        assert.equal(await page.isDisabled('#edt_ts_pmt_pid'), false);
        assert.equal(await page.isDisabled('#edt_ts_fec_col'), true);
        await page.fill('#edt_map_program', '1');
        await page.fill('#edt_map_pid', '256');
        await page.click('#btn_map_select');
        await page.fill('#edt_map_program', '');
        await page.fill('#edt_map_pid', '257');
        await page.click('#btn_map_select');
        assert.deepEqual(await page.$$eval('#tbl_map tbody tr', (trs) => trs.map((tr) => tr.cells[0].textContent + '|' + tr.cells[1].textContent)),
                         ['1|256', '|257', '|', '|', '|']);
        await h.screenshot(page, 'advanced-format-streams');
        await page.click('#tab_fmt_ts_out');
        await page.fill('#edt_ts_service_name', 'News');
        await page.check('#chk_ts_fec');
        assert.equal(await page.isDisabled('#edt_ts_fec_col'), false);
        await page.fill('#edt_ts_fec_row', '8');
        await h.screenshot(page, 'advanced-format-ts');
        await page.click('#tab_fmt_custom');
        await page.fill('#edt_custom_src', '-re');
        await page.fill('#edt_custom_tgt', '-max_muxing_queue_size 1024');
        await page.click('#btn_adv_fmt_ok');
        assert.equal(await page.isVisible('#div_adv_fmt'), false);

        await page.click('#btn_apply');
        const [saved] = await h.waitSavedChannels((list) => list[0].output.customOptions !== 'fake:run', 'the channel saved');
        assert.equal(saved.enable, false);
        const t = saved.output.targets[0];
        assert.deepEqual(t.video.options, ['-x264-params keyint=50', '-profile:v high', '-level 4.1', '-threads 4',
                                           '-preset:v veryslow', '-aspect 1280:720']);
        assert.equal(t.video.scanType, 1);
        assert.deepEqual(saved.input.sources[0].video.options, ['-hwaccel_device 1', '-gpu 1', '-c:v h264_cuvid']);
        assert.deepEqual(saved.output.filters, ['drawtext=text=\'Cam one\':fontsize=20:fontcolor=#ff0000:x=w-tw-10:y=h-th-20']);
        assert.deepEqual(saved.output.mapOptions, ['p:1:#256', '#257']);
        assert.deepEqual(saved.output.formatOptions, ["-metadata service_name='News'", '-fec prompeg=l=5:d=8']);
        assert.equal(saved.input.customOptions, '-re');
        assert.equal(saved.output.customOptions, '-max_muxing_queue_size 1024');

        /* After a reload the boxes read it all back. */
        await page.reload();
        await h.openManager(page);
        await h.editRow(page, 1);
        assert.deepEqual(await h.fieldValues(page, VIDEO_FIELDS), {
            edt_video_profile: 'high', edt_video_level: '4.1', edt_video_threads: '4', slide_video_preset: '8',
            edt_video_preset: '8', chk_overlay_enable: true, edt_overlay_text: 'Cam one', edt_overlay_fontsize: '20',
            clr_overlay_color: '#ff0000', rdo_overlay_right: true, edt_overlay_hpad: '10', rdo_overlay_bottom: true,
            edt_overlay_vpad: '20', chk_video_aspect: true, sel_scan_type: '1', edt_gpu_number: '2',
            sel_gpu_decoding: 'h264_cuvid',
        });
        assert.deepEqual(await h.fieldValues(page, ['edt_ts_service_name', 'chk_ts_fec', 'edt_ts_fec_row', 'edt_custom_src', 'edt_custom_tgt']),
                         {edt_ts_service_name: 'News', chk_ts_fec: true, edt_ts_fec_row: '8', edt_custom_src: '-re',
                          edt_custom_tgt: '-max_muxing_queue_size 1024'});
        /* Cancel and X only hide the boxes; what was typed stays. */
        await page.click('#btn_adv_fmt');
        await page.click('#tab_fmt_ts_out');
        assert.equal(await page.isVisible('#div_fmt_ts_out'), true);
        assert.equal(await page.isVisible('#div_fmt_ts_in'), false);
        await page.fill('#edt_ts_provider', 'typed');
        await page.click('#btn_adv_fmt_cancel');
        await page.click('#btn_adv_fmt');
        assert.equal(await page.isVisible('#div_fmt_ts_in'), true);
        assert.equal(await page.inputValue('#edt_ts_provider'), 'typed');
        await page.click('#div_adv_fmt .popup_box_close');
        assert.equal(await page.isVisible('#div_adv_fmt'), false);
        /* The video codec's reaction: defaults of the new codec, its own options only. */
        await page.selectOption('#sel_video_codec', 'vp8');
        assert.deepEqual(await h.fieldValues(page, ['edt_video_profile', 'edt_video_threads', 'slide_video_preset']),
                         {edt_video_profile: 'default', edt_video_threads: 'auto', slide_video_preset: '13'});
        assert.deepEqual(await page.evaluate(() => curChannel.output.targets[0].video.options),
                         ['-cpu-used 3', '-aspect 1280:720']);
        await page.selectOption('#sel_video_codec', 'copy');
        assert.deepEqual(await h.fieldValues(page, ['sel_frame_size', 'edt_frame_width', 'edt_frame_rate', 'edt_video_quality',
                                             'edt_video_bitrate', 'edt_video_kfi']),
                         {sel_frame_size: 'original', edt_frame_width: '0', edt_frame_rate: 'Original',
                          edt_video_quality: 'Default', edt_video_bitrate: 'Default', edt_video_kfi: '5'});
        /* Escape cancels the edit: nothing of it reaches the model. */
        await page.keyboard.press('Escape');
        assert.equal(await h.editingRow(page), 0);
        assert.equal(await page.evaluate(() => jsonConfig.channels[0].output.targets[0].video.codec), 'h264');
        assert.equal(await page.inputValue('#sel_video_codec'), 'h264');
        assert.equal(log.posts.length, 1);
        assert.deepEqual(log.errors, []);
        await h.daemonFetch('/channel1?stop');
        await context.close();
    });
});

test('a late reply to Apply leaves the edit of another channel bound to its own row', async () => {
    await h.withDaemon(h.configuration({channels: [h.channel({url: '/media/one.mp4', memo: 'one'}),
                                                   h.channel({url: '/media/two.mp4', memo: 'two'})]}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        let release;
        const held = new Promise((resolve) => { release = resolve; });
        await page.route('**/config', async (route) => {
            if (route.request().method() === 'POST')
                await held;
            await route.continue();
        });
        await h.editRow(page, 1);
        await page.fill('#edt_memo', 'first edit');
        await page.click('#btn_apply');
        await page.dblclick('#tbl_channels tbody tr:nth-child(2) td:nth-child(4)');
        assert.equal(await h.editingRow(page), 2);
        await page.fill('#edt_memo', 'second edit');
        const reply = page.waitForResponse((r) => r.request().method() === 'POST');
        release();
        await reply;
        await page.waitForFunction(() => jsonConfig.channels[0].memo === 'first edit', null, {timeout: h.WAIT_MS});
        /* Still editing row 2, on row 2's working copy. */
        assert.equal(await h.editingRow(page), 2);
        assert.equal(await page.inputValue('#edt_memo'), 'second edit');
        assert.equal(await page.inputValue('#edt_src_url'), '/media/two.mp4');
        assert.equal(await page.locator('#tbl_channels tbody tr:nth-child(2) #edt_memo').count(), 1);
        assert.equal(await page.evaluate(() => curChannel.input.sources[0].url), '/media/two.mp4');
        await page.click('#btn_apply');
        const saved = await h.waitSavedChannels((list) => list[1].memo === 'second edit', 'the second edit saved');
        assert.deepEqual(saved.map((c) => [c.memo, c.input.sources[0].url]),
                         [['first edit', '/media/one.mp4'], ['second edit', '/media/two.mp4']]);
        assert.equal(log.posts.length, 2);
        assert.equal(await h.cellText(page, 1, 2), 'first edit');
        assert.equal(await h.cellText(page, 2, 2), 'second edit');
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('New Channel and Remove do nothing while a channel is being edited', async () => {
    await h.withDaemon(h.configuration({channels: [h.channel({url: '/media/one.mp4'}), h.channel({url: '/media/two.mp4'})]}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        log.acceptConfirm = true;
        await h.openManager(page);
        await h.editRow(page, 2);
        await page.fill('#edt_src_url', '/media/edited.mp4');
        /* Both look disabled; clicks that reach them all the same do nothing. */
        assert.equal(await page.isDisabled('#btn_create'), true);
        assert.equal(await page.isDisabled('#btn_remove'), true);
        await page.click('#btn_create', {force: true});
        await page.click('#btn_remove', {force: true});
        await page.evaluate(() => { onCreateClick(); onRemoveClick(); });
        /* Other rows cannot be selected either. */
        await page.click('#tbl_channels tbody tr:nth-child(1) td:nth-child(2)');
        assert.equal(await h.editingRow(page), 2);
        assert.equal(await page.evaluate(() => document.getElementById('tbl_channels').rowSelected), 2);
        assert.equal(await h.cellText(page, 3, 0), '');
        assert.equal(await page.inputValue('#edt_src_url'), '/media/edited.mp4');
        assert.equal(await page.evaluate(() => jsonConfig.channels.length), 2);
        assert.deepEqual(log.dialogs, []);
        assert.deepEqual(log.posts, []);
        await page.click('#btn_cancel');
        assert.equal(await h.cellText(page, 2, 1), '/media/two.mp4');
        await context.close();
    });
});

/* Channels with what the editor does not offer: it must all come back from an Apply unchanged. */
function oddChannels()
{
    const base = (source, target) => ({
        enable: false, memo: '',
        input: {sources: [source], formatOptions: [], customOptions: ''},
        output: {targets: [Object.assign({url: 'udp://127.0.0.1:5000', mux: {bitRate: 0, cbr: false}}, target)],
                 mapOptions: [], formatOptions: [], filters: [], customOptions: 'fake:run'},
    });
    return [
        base({format: 'http', url: 'https://cdn.example/live/a.m3u8', video: {options: []}},
             {format: 'mpegts', video: {enable: true, codec: 'h264', options: [], scanType: 2},
              audio: {enable: true, codec: 'opus', sampleRate: 48000, channels: 7, bitRate: 96, options: ['-ac 2']}}),
        base({format: 'rtp_native', url: '/var/ruxod/in.sdp', video: {codec: 'h263', options: []}},
             {format: 'rtp', url: 'rtp://239.1.1.1:5004', video: {enable: true, codec: 'copy', options: [], IP: '239.1.1.1', port: 5004},
              audio: {enable: true, codec: 'eac3', channels: 2, IP: '239.1.1.1', port: 5002, globalHeader: 'outOfBand'}}),
        base({format: 'udp', url: 'tcp://10.0.0.1:9000', video: {options: []}},
             {format: 'rtp_native', video: {enable: false, codec: 'h264', options: []},
              audio: {enable: true, codec: 'pcm16u', channels: 1}}),
        base({format: 'ftp', url: 'sftp://files.example/in/a.mp4', video: {options: []}},
             {format: 'file', url: '/media/out.ts', video: {enable: true, codec: 'h264', options: []},
              audio: {enable: true, codec: 'aac', channels: 2}}),
    ];
}

test('stored values the editor does not offer come back from an Apply unchanged', async () => {
    await h.withDaemon(h.configuration({channels: oddChannels()}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        const shown = [
            {sel_src_fmt: 'http', edt_src_url: 'cdn.example/live/a.m3u8', sel_tgt_fmt: 'mpegts', sel_audio_codec: 'opus',
             sel_audio_channel: '7', sel_scan_type: '2'},
            {sel_src_fmt: 'rtp_native', edt_src_url: '/var/ruxod/in.sdp', sel_tgt_fmt: 'rtp', sel_audio_codec: 'eac3',
             sel_video_codec: 'copy'},
            {sel_src_fmt: 'udp', edt_src_url: 'tcp://10.0.0.1:9000', sel_tgt_fmt: 'rtp_native', sel_audio_codec: 'pcm16u'},
            {sel_src_fmt: 'ftp', edt_src_url: 'files.example/in/a.mp4'},
        ];
        for (let row = 1; row <= shown.length; row++) {
            await h.editRow(page, row);
            assert.deepEqual(await h.fieldValues(page, Object.keys(shown[row - 1])), shown[row - 1], `row ${row}`);
            if (row === 3) {
                /* A hidden entry shows for a stored target of its format. */
                assert.equal(await page.$eval('#sel_tgt_fmt', (l) => l.options[l.selectedIndex].text), 'Native RTP');
            }
            if (row === 1) {
                /* The word stands as its own entry, labelled with itself. */
                assert.equal(await page.$eval('#sel_tgt_fmt', (l) => l.options[l.selectedIndex].text), 'mpegts');
                await h.screenshot(page, 'editor-stored-values');
            }
            await page.click('#btn_apply');
            await h.waitUntil(() => log.posts.length === row, `the post of row ${row}`);
            await page.waitForFunction(() => !document.getElementById('tbl_channels').editing, null, {timeout: h.WAIT_MS});
        }
        const saved = await h.waitSavedChannels((list) => list[3].output.targets[0].rtmp !== undefined, 'all four saved');
        const [a, b, c, d] = saved;
        assert.deepEqual(a.input.sources[0], {format: 'http', url: 'https://cdn.example/live/a.m3u8', video: {options: []}});
        assert.equal(a.output.targets[0].format, 'mpegts');
        assert.deepEqual(a.output.targets[0].audio, {enable: true, codec: 'opus', sampleRate: 48000, channels: 7, bitRate: 96,
                                                     options: ['-ac 2']});
        assert.equal(a.output.targets[0].video.scanType, 2);
        assert.deepEqual(b.input.sources[0], {format: 'rtp_native', url: '/var/ruxod/in.sdp', video: {codec: 'h263', options: []}});
        assert.equal(b.output.targets[0].format, 'rtp');
        assert.deepEqual(b.output.targets[0].audio, {enable: true, codec: 'eac3', channels: 2, IP: '239.1.1.1', port: 5002,
                                                     globalHeader: 'outOfBand', sampleRate: 0, bitRate: 0});
        assert.deepEqual([b.output.targets[0].video.IP, b.output.targets[0].video.port], ['239.1.1.1', 5004]);
        assert.deepEqual(c.input.sources[0].url, 'tcp://10.0.0.1:9000');
        assert.equal(c.input.sources[0].format, 'udp');
        assert.equal(c.output.targets[0].audio.codec, 'pcm16u');
        assert.equal(c.output.targets[0].format, 'rtp_native');
        assert.equal(c.output.targets[0].video.enable, false);
        assert.deepEqual(d.input.sources[0], {format: 'ftp', url: 'sftp://files.example/in/a.mp4', video: {options: []}});

        /* A scheme of its own is kept only while the type stays: another type writes its own. */
        await h.editRow(page, 4);
        await page.selectOption('#sel_src_fmt', 'http');
        assert.equal(await page.inputValue('#edt_src_url'), '192.168.1.2/media/stream.m3u8');
        await page.selectOption('#sel_src_fmt', 'udp');
        assert.equal(await page.inputValue('#edt_src_url'), '0.0.0.0:1234');
        await page.fill('#edt_src_url', '10.0.0.1:5000');
        await page.click('#btn_apply');
        const changed = await h.waitSavedChannels((list) => list[3].input.sources[0].format === 'udp', 'the new type saved');
        assert.equal(changed[3].input.sources[0].url, 'udp://10.0.0.1:5000');
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});

test('a post the daemon refuses keeps the page\'s model and says why; one with no telling reply takes the daemon\'s', async () => {
    const reason = 'cannot write /etc/ruxod/ruxod.json: No space left on device';
    const cases = [
        {reply: {status: 500, contentType: 'text/plain', body: reason + '\n'}, alert: 'Configuration not saved: ' + reason},
        {reply: {status: 400, body: ''}, alert: 'Configuration not saved.'},
        {reply: {status: 500, contentType: 'application/json', body: '{"x": 1}'}, alert: 'Configuration not saved.'},
        {reply: {status: 200, contentType: 'text/html', body: '<html><body>login</body></html>'},
         alert: 'Configuration not saved: please log in again.'},
        /* No telling whether the daemon saved these: the page takes the daemon's configuration. */
        {reply: {status: 200, contentType: 'application/json', body: '[1, 2]'}, alert: 'Configuration not saved.', unknown: true},
        {reply: null, alert: 'Configuration not saved.', unknown: true},
    ];
    await h.withDaemon(h.configuration({channels: [h.channel({memo: 'stored'}), h.channel({memo: 'second'})]}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        const before = h.savedConfig();
        let current = null;
        await page.route('**/config', (route) => {
            if (route.request().method() !== 'POST')
                return route.continue();
            return current.reply ? route.fulfill(current.reply) : route.abort();
        });
        for (const [i, c] of cases.entries()) {
            current = c;
            await h.editRow(page, 1);
            await page.fill('#edt_memo', `edit ${i}`);
            await page.click('#btn_apply');
            await h.waitUntil(() => log.dialogs.length === i + 1, `the alert of case ${i}`);
            assert.equal(log.dialogs[i], c.alert);
            const memo = c.unknown ? 'stored' : `edit ${i}`;
            assert.equal(await page.evaluate(() => jsonConfig.channels[0].memo), memo);
            assert.equal(await h.cellText(page, 1, 2), memo);
        }
        /* A removal that is not saved is taken back: the daemon still has the channel. */
        log.acceptConfirm = true;
        current = cases[0];
        await h.selectRow(page, 2);
        await page.click('#btn_remove');
        await h.waitUntil(() => log.dialogs.length === cases.length + 2, 'the removal\'s alert');
        assert.equal(log.dialogs[cases.length + 1], cases[0].alert);
        assert.equal(await page.evaluate(() => jsonConfig.channels.length), 2);
        assert.equal(await h.cellText(page, 2, 2), 'second');
        assert.equal(h.savedConfig(), before);
        await h.screenshot(page, 'editor-not-saved');
        await context.close();
    });
});

test('a configuration the daemon cannot write: the alert with the daemon\'s reason', async () => {
    await h.withDaemon(h.configuration({channels: [h.channel({memo: 'stored'})]}), async () => {
        await h.whileConfigUnwritable(async (text) => {
            const probe = await h.daemonFetch('/config', {method: 'POST', body: text});
            assert.equal(probe.status, 500);
            assert.match(probe.headers.get('content-type') || '', /^text\/plain/);
            const reason = (await probe.text()).trim();
            assert.match(reason, /ruxod\.json/);
            const {context, page, log} = await h.newPage(s.browser);
            await h.openManager(page);
            await h.editRow(page, 1);
            await page.fill('#edt_memo', 'not saved');
            await page.click('#btn_apply');
            await h.waitUntil(() => log.dialogs.length === 1, 'the alert');
            assert.equal(log.dialogs[0], 'Configuration not saved: ' + reason);
            assert.equal(await page.evaluate(() => jsonConfig.channels[0].memo), 'not saved');
            await context.close();
        });
    });
});

/* Runs a table of channels through the editor: each row's channel has the case's stored sources;
 * the editor must show the case's fields; an Apply after the case's own edit (or none) and a new
 * memo must save the case's sources (the stored ones when none are given). */
async function sourcesThroughApply(cases)
{
    const list = cases.map((c, i) => {
        const ch = h.channel({memo: `m${i + 1}`});
        ch.input = {sources: c.sources, formatOptions: [], customOptions: ''};
        return ch;
    });
    await h.withDaemon(h.configuration({channels: list}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        for (const [i, c] of cases.entries()) {
            await h.editRow(page, i + 1);
            assert.deepEqual(await h.fieldValues(page, Object.keys(c.shown)), c.shown, `row ${i + 1}`);
            if (c.edit)
                await c.edit(page);
            await page.fill('#edt_memo', `edited ${i + 1}`);
            await page.click('#btn_apply');
            await h.waitUntil(() => log.posts.length === i + 1, `the post of row ${i + 1}`);
            await page.waitForFunction(() => !document.getElementById('tbl_channels').editing, null, {timeout: h.WAIT_MS});
        }
        const saved = await h.waitSavedChannels((l) => l.every((ch, i) => ch.memo === `edited ${i + 1}`), 'every row saved');
        for (const [i, c] of cases.entries())
            assert.deepEqual(saved[i].input.sources, c.saved || c.sources, `row ${i + 1}`);
        assert.deepEqual(log.errors, []);
        await context.close();
    });
}

test('the sources after the first come back from an Apply as they were stored', async () => {
    const second = {format: 'file', url: '/media/b.mp4'};
    const third = {format: 'udp', url: 'udp://0.0.0.0:5000', video: {options: ['-c:v h264_cuvid'], codec: 'h264'}, extra: 1};
    await sourcesThroughApply([
        {sources: [{format: 'file', url: '/media/a.mp4', video: {options: []}}, second, third],
         shown: {sel_src_fmt: 'file', edt_src_url: '/media/a.mp4'}},
        /* Only the first source follows a new type. */
        {sources: [{format: 'file', url: '/media/a.mp4', video: {options: []}}, second],
         shown: {sel_src_fmt: 'file', edt_src_url: '/media/a.mp4'},
         edit: async (page) => {
             await page.selectOption('#sel_src_fmt', 'udp');
             await page.fill('#edt_src_url', '10.0.0.1:5000');
         },
         saved: [{format: 'udp', url: 'udp://10.0.0.1:5000', video: {options: []}}, second]},
        {sources: [{format: 'file', url: '/media/one.mp4', video: {options: []}}],
         shown: {sel_src_fmt: 'file', edt_src_url: '/media/one.mp4'}},
    ]);
});

test('a stored source format of another kind than the URL\'s scheme survives an Apply', async () => {
    await sourcesThroughApply([
        /* An NDI name that looks like a URL stays an NDI source. */
        {sources: [{format: 'ndi', url: 'rtmp://evil.example/live/x', video: {options: []}}],
         shown: {sel_src_fmt: 'ndi', edt_src_url: 'rtmp://evil.example/live/x'}},
        {sources: [{format: 'rtp_native', url: 'rtp://0.0.0.0:5004', video: {codec: 'h264', options: []}}],
         shown: {sel_src_fmt: 'rtp_native', edt_src_url: 'rtp://0.0.0.0:5004'}},
        {sources: [{format: 'decklink', url: 'srt://10.0.0.2:9000', video: {options: []}}],
         shown: {sel_src_fmt: 'decklink', edt_src_url: 'srt://10.0.0.2:9000'}},
        /* A URL type, or none, follows the scheme. */
        {sources: [{format: '', url: 'rtmp://10.0.0.3/live/a', video: {options: []}}],
         shown: {sel_src_fmt: 'rtmp', edt_src_url: '10.0.0.3/live/a'},
         saved: [{format: 'rtmp', url: 'rtmp://10.0.0.3/live/a', video: {options: []}}]},
        {sources: [{format: 'rtmp', url: 'udp://0.0.0.0:1234', video: {options: []}}],
         shown: {sel_src_fmt: 'udp', edt_src_url: '0.0.0.0:1234'},
         saved: [{format: 'udp', url: 'udp://0.0.0.0:1234', video: {options: []}}]},
        {sources: [{format: 'HTTP', url: 'https://cdn.example/a.m3u8', video: {options: []}}],
         shown: {sel_src_fmt: 'http', edt_src_url: 'cdn.example/a.m3u8'},
         saved: [{format: 'http', url: 'https://cdn.example/a.m3u8', video: {options: []}}]},
    ]);
});

test('MJPEG over HTTP drops the previous codec\'s profile and level, and the saved options run', async () => {
    const ch = h.channel({memo: 'm1'});
    ch.output.targets[0].video.options = ['-profile:v high', '-level 4.1', '-preset:v faster', '-g 50'];
    await h.withDaemon(h.configuration({channels: [ch]}), async () => {
        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await h.editRow(page, 1);
        assert.deepEqual(await h.fieldValues(page, ['edt_video_profile', 'edt_video_level']),
                         {edt_video_profile: 'high', edt_video_level: '4.1'});
        await page.selectOption('#sel_tgt_fmt', 'httpmjpg');
        assert.deepEqual(await h.fieldValues(page, ['sel_video_codec', 'edt_video_profile', 'edt_video_level', 'edt_video_threads',
                                                    'chk_enable_audio']),
                         {sel_video_codec: 'mjpeg', edt_video_profile: 'default', edt_video_level: 'default',
                          edt_video_threads: 'auto', chk_enable_audio: false});
        await page.click('#btn_apply');
        const [saved] = await h.waitSavedChannels((l) => l[0].output.targets[0].format === 'httpmjpg', 'the MJPEG target saved');
        const video = saved.output.targets[0].video;
        assert.equal(video.codec, 'mjpeg');
        assert.deepEqual(video.options, ['-g 50']);
        /* The machine's ffmpeg encodes with them. */
        const args = ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc=size=160x120:rate=5', '-frames:v', '2', '-c:v', 'mjpeg',
                      '-pix_fmt', 'yuvj420p'].concat(video.options.flatMap((o) => o.split(' ')), ['-f', 'null', '-']);
        execFileSync('ffmpeg', args, {stdio: 'pipe'});
        assert.deepEqual(log.errors, []);
        await context.close();
    });
});
