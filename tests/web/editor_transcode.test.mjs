/* editor_transcode.test.mjs -- a channel made in the page really transcodes: a local file source
 * into HLS through the real stand-in transcoder and Debian's ffmpeg, with a frame size, a sample
 * rate, an HLS segment length and a source option chosen in the editor, checked with ffprobe. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import * as h from './support/harness.mjs';

const s = h.suite();

/* A 10-second clip with H.264 video and AAC audio. */
function makeClip(file)
{
    execFileSync('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=25', '-f', 'lavfi',
                            '-i', 'sine=frequency=440:sample_rate=44100', '-t', '10', '-c:v', 'libx264', '-preset',
                            'ultrafast', '-g', '25', '-c:a', 'aac', '-shortest', file], {timeout: 120000});
}

function segments(playlist)
{
    if (!fs.existsSync(playlist))
        return [];
    return fs.readFileSync(playlist, 'utf8').split('\n').filter((line) => line !== '' && !line.startsWith('#'))
        .map((line) => (line.startsWith('/') ? line : path.join(path.dirname(playlist), line)));
}

function channelLog()
{
    const file = '/var/ruxod/log/ruxo_001.log';
    return fs.existsSync(file) ? fs.readFileSync(file, 'utf8').slice(-4000) : '(no channel log)';
}

function probe(file)
{
    const text = execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name,width,height,sample_rate',
                                          '-of', 'json', file], {encoding: 'utf8', timeout: 60000});
    return JSON.parse(text).streams;
}

test('a channel created in the page transcodes a file into HLS', async () => {
    await h.withDaemon(h.configuration({global: {autoRestart: 1, log: 32}}), async (daemon) => {
        const clip = daemon.file('clip.mp4');
        const playlist = daemon.file('hls/out.m3u8');
        makeClip(clip);
        fs.mkdirSync(path.dirname(playlist));

        const {context, page, log} = await h.newPage(s.browser);
        await h.openManager(page);
        await page.click('#btn_create');
        await page.fill('#edt_src_url', clip);
        await page.fill('#edt_memo', 'to HLS');
        await page.selectOption('#sel_tgt_fmt', 'hls');
        await page.fill('#edt_tgt_url', playlist);
        await page.selectOption('#sel_frame_size', 'nhd');
        await page.selectOption('#sel_sample_rate', '48000');
        await page.click('#btn_adv_fmt');
        await page.click('#tab_fmt_hls');
        await page.fill('#edt_hls_seconds', '2');
        await page.click('#tab_fmt_custom');
        await page.fill('#edt_custom_src', '-re ');
        await page.click('#btn_adv_fmt_ok');
        await page.click('#btn_apply');
        const [saved] = await h.waitSavedChannels((list) => list.length === 1, 'the channel saved');
        assert.deepEqual(saved.output.formatOptions, ['-hls_time 2']);

        await h.selectRow(page, 1);
        await page.click('#btn_start');
        try {
            /* A segmenting muxer reports no bit rate. */
            await h.waitCell(page, 1, 3, /^\d\d:\d\d:\d\d {3}\d+fps/);
            await h.waitUntil(() => segments(playlist).length >= 1, 'a first HLS segment', 60000);
        } catch (e) {
            throw new Error(e.message + '\n' + (await h.cellText(page, 1, 3)) + '\n' + channelLog());
        }
        const streams = probe(segments(playlist)[0]);
        const videoStream = streams.find((st) => st.codec_name === 'h264');
        const audioStream = streams.find((st) => st.codec_name === 'aac');
        assert.ok(videoStream && audioStream, JSON.stringify(streams));
        assert.deepEqual([videoStream.width, videoStream.height], [640, 360]);
        assert.equal(audioStream.sample_rate, '48000');
        await h.screenshot(page, 'editor-transcoding');

        await page.click('#btn_stop');
        await h.waitCell(page, 1, 3, /^IDLE$/);
        await h.waitDaemonState(0, 'idle');
        assert.deepEqual(log.dialogs, []);
        assert.deepEqual(log.errors, []);
        await context.close();
    }, 'real');
});
