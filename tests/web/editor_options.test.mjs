/* editor_options.test.mjs -- the option strings of the advanced boxes, as one table of cases run
 * inside the real page: each case sets the boxes' fields by id, calls the builder on a list or
 * record, compares what it wrote, then lets the reader fill the fields from it again and compares
 * the fields. Presets and their slider ranges per codec family, profile, level and threads,
 * overlays, aspect ratio, GPU decoding, MPEG-TS service data, HLS segmenting, RTMP publishing
 * data, and entries written by hand that the builders leave alone. */
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as h from './support/harness.mjs';

const s = h.suite(() => h.configuration({channels: [h.channel({})]}));

/* Runs one case in the page; resolves with what the builder wrote and the fields read back. */
function runCase(page, c)
{
    return page.evaluate((c) => {
        /* Where each kind of case builds and reads, on the case's own copy of its input. */
        const kinds = {
            codec: {build: (v) => { applyVideoCodec(v); return v.options; }, read: (v) => updateVideoCodec(v)},
            misc: {build: (v) => { applyVideoMisc(v.src, v.tgt); return {src: v.src.options, tgt: v.tgt.options, scanType: v.tgt.scanType}; },
                   read: (v) => updateVideoMisc(v.tgt, v.src)},
            overlay: {build: (f) => { applyVideoOverlay(f); return f; }, read: (f) => updateVideoOverlay(f)},
            mpegts: {build: (o) => { applyMPEGTS(o); return o.formatOptions; }, read: (o) => updateMPEGTS(o)},
            hls: {build: (o) => { applyHLS(o); return o.formatOptions; }, read: (o) => updateHLS(o)},
            rtmp: {build: (t) => { applyRTMP(t); return t.rtmp; }, read: (t) => updateRTMP(t.rtmp)},
        };
        const kind = kinds[c.kind];
        const el = (id) => document.getElementById(id);
        const get = (id) => (el(id).type === 'checkbox' || el(id).type === 'radio' ? el(id).checked : el(id).value);
        const set = (id, value) => {
            if (el(id).type === 'checkbox' || el(id).type === 'radio')
                el(id).checked = value;
            else
                el(id).value = String(value);
        };
        const fieldsOf = (ids) => Object.fromEntries(ids.map((id) => [id, get(id)]));
        const copy = (value) => JSON.parse(JSON.stringify(value));

        if (c.codec) {
            selectValue(el('sel_video_codec'), c.codec);
            initVideoCodec(c.codec);
        }
        const slider = {min: el('slide_video_preset').min, max: el('slide_video_preset').max, value: get('slide_video_preset')};
        for (const [id, value] of Object.entries(c.fields || {}))
            set(id, value);
        const built = kind.build(copy(c.input));
        /* The reader starts from its defaults: an empty input first, then the built one. */
        kind.read(copy(c.empty));
        const input = copy(c.input);
        if (c.kind === 'codec' || c.kind === 'misc' || c.kind === 'overlay') {
            if (c.kind === 'codec')
                input.options = built;
            else if (c.kind === 'misc')
                Object.assign(input, {src: {options: built.src}, tgt: {options: built.tgt, scanType: built.scanType}});
            else
                input.splice(0, input.length, ...built);
        } else if (c.kind === 'rtmp') {
            input.rtmp = built;
        } else {
            input.formatOptions = built;
        }
        kind.read(input);
        return {slider, built, read: fieldsOf(Object.keys(c.read || c.fields || {}))};
    }, c);
}

const video = (codec, options = []) => ({codec, options});
const misc = (src = [], tgt = []) => ({src: {options: src}, tgt: {options: tgt}});
const output = (format, formatOptions = []) => ({targets: [{format}], formatOptions});

/* Preset slider ranges and defaults, and what each family writes at its default and at an end. */
const PRESETS = [
    {codec: 'h264', range: ['0', '8', '3'], at: [[3, '-preset:v faster'], [8, '-preset:v veryslow'], [0, '-preset:v ultrafast']]},
    {codec: 'h265', range: ['0', '8', '3'], at: [[3, '-preset:v faster']]},
    {codec: 'nv264', range: ['0', '8', '3'], at: [[3, '-preset:v default'], [8, '-preset:v ll']]},
    {codec: 'nv265', range: ['0', '8', '3'], at: [[6, '-preset:v hq']]},
    {codec: 'qsv264', range: ['2', '8', '5'], at: [[5, '-preset:v medium'], [2, '-preset:v veryfast']]},
    {codec: 'qsv265', range: ['4', '6', '5'], at: [[6, '-preset:v slow'], [0, '-preset:v fast']]},
    {codec: 'amf264', range: ['0', '2', '0'], at: [[0, '-quality:v speed'], [2, '-quality:v quality']]},
    {codec: 'amf265', range: ['0', '2', '0'], at: [[1, '-quality:v balanced']]},
    {codec: 'vp8', range: ['0', '16', '13'], at: [[13, '-cpu-used 3'], [16, '-cpu-used 0'], [0, '-cpu-used 16']]},
    {codec: 'vp9', range: ['0', '8', '5'], at: [[5, '-cpu-used 3'], [8, '-cpu-used 0']]},
    {codec: 'av1', range: ['0', '8', '0'], at: [[0, '-cpu-used 8']]},
    {codec: 'mjpeg', range: ['0', '0', '0'], at: [[0, null]]},
    {codec: 'copy', range: ['0', '0', '0'], at: [[0, null]]},
];

test('presets: the slider\'s range and default per codec, and the option at its positions', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    for (const p of PRESETS) {
        for (const [position, option] of p.at) {
            const c = {kind: 'codec', codec: p.codec, fields: {slide_video_preset: position}, input: video(p.codec),
                       empty: video(p.codec), read: {slide_video_preset: 0, edt_video_preset: 0}};
            const r = await runCase(page, c);
            assert.deepEqual([r.slider.min, r.slider.max, r.slider.value], p.range, p.codec);
            assert.deepEqual(r.built, option ? [option] : [], `${p.codec} at ${position}`);
            /* Read back, the slider stands where it was (within the codec's range). */
            const clamped = String(Math.min(Math.max(position, Number(p.range[0])), Number(p.range[1])));
            assert.deepEqual(r.read, {slide_video_preset: clamped, edt_video_preset: clamped}, `${p.codec} at ${position}`);
        }
    }
    assert.deepEqual(log.errors, []);
    await context.close();
});

const CASES = [
    /* ---- profile, level, threads ---- */
    {name: 'profile, level, threads and preset, in that order, in lower case', kind: 'codec', codec: 'h264',
     fields: {edt_video_profile: 'High', edt_video_level: '4.1', edt_video_threads: '4', slide_video_preset: 3},
     input: video('h264'), empty: video('h264'),
     expect: ['-profile:v high', '-level 4.1', '-threads 4', '-preset:v faster'],
     read: {edt_video_profile: 'high', edt_video_level: '4.1', edt_video_threads: '4', slide_video_preset: '3'}},
    {name: 'defaults write the preset alone', kind: 'codec', codec: 'h265',
     fields: {edt_video_profile: 'default', edt_video_level: 'DEFAULT', edt_video_threads: 'auto'},
     input: video('h265'), empty: video('h265'), expect: ['-preset:v faster'],
     read: {edt_video_profile: 'default', edt_video_level: 'default', edt_video_threads: 'auto'}},
    {name: 'threads only for the software encoders', kind: 'codec', codec: 'nv264',
     fields: {edt_video_profile: 'main', edt_video_threads: '8', slide_video_preset: 3},
     input: video('nv264'), empty: video('nv264'), expect: ['-profile:v main', '-preset:v default'],
     read: {edt_video_profile: 'main', edt_video_threads: 'auto'}},
    {name: 'an emptied profile box counts as default', kind: 'codec', codec: 'vp9',
     fields: {edt_video_profile: ' ', edt_video_threads: '2', slide_video_preset: 5},
     input: video('vp9'), empty: video('vp9'), expect: ['-threads 2', '-cpu-used 3'],
     read: {edt_video_profile: 'default', edt_video_threads: '2', slide_video_preset: '5'}},
    {name: 'hand-written entries stay, the builder\'s own are replaced', kind: 'codec', codec: 'h264',
     fields: {slide_video_preset: 3},
     input: video('h264', ['-x264-params keyint=50', '-preset:v slow', '', '-level 3', '-tune zerolatency']),
     empty: video('h264'), expect: ['-x264-params keyint=50', '-tune zerolatency', '-preset:v faster'],
     read: {slide_video_preset: '3', edt_video_level: 'default'}},

    /* ---- overlays ---- */
    {name: 'a timestamp drawn at the top right', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '', edt_overlay_text: '%timestamp', edt_overlay_fontsize: 16,
              clr_overlay_color: '#ffff00', rdo_overlay_right: true, edt_overlay_hpad: 10, rdo_overlay_top: true,
              edt_overlay_vpad: 10},
     input: [], empty: [], expect: ['drawtext=fontsize=16:fontcolor=#ffff00:x=w-tw-10:y=10']},
    {name: 'a text at the bottom left, a colon in it', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '', edt_overlay_text: 'Cam: 1', edt_overlay_fontsize: 24,
              clr_overlay_color: '#00ff00', rdo_overlay_left: true, edt_overlay_hpad: 5, rdo_overlay_bottom: true,
              edt_overlay_vpad: 7},
     input: ['scale=640:360'], empty: [],
     expect: ['scale=640:360', "drawtext=text='Cam: 1':fontsize=24:fontcolor=#00ff00:x=5:y=h-th-7"]},
    {name: 'a video overlay wins over the text', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '/media/logo.png', edt_overlay_text: 'ignored',
              rdo_overlay_right: true, edt_overlay_hpad: 20, rdo_overlay_bottom: true, edt_overlay_vpad: 30},
     input: [], empty: [],
     expect: ["[logo] overlay=W-w-20:H-h-30 [out]; movie='/media/logo.png', setpts=PTS-STARTPTS [logo]"],
     read: {chk_overlay_enable: true, edt_overlay_video: '/media/logo.png', edt_overlay_text: '%timestamp',
            rdo_overlay_right: true, edt_overlay_hpad: '20', rdo_overlay_bottom: true, edt_overlay_vpad: '30'}},
    {name: 'a video overlay at the top left', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '/m/a.mov', rdo_overlay_left: true, edt_overlay_hpad: 0,
              rdo_overlay_top: true, edt_overlay_vpad: 4},
     input: [], empty: [], expect: ["[logo] overlay=0:4 [out]; movie='/m/a.mov', setpts=PTS-STARTPTS [logo]"]},
    {name: 'quotes are taken out of the text and the path', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '', edt_overlay_text: 'it\'s "on"', edt_overlay_fontsize: 12,
              clr_overlay_color: '#ffffff', rdo_overlay_right: true, edt_overlay_hpad: 1, rdo_overlay_top: true,
              edt_overlay_vpad: 2},
     input: [], empty: [], expect: ["drawtext=text='its on':fontsize=12:fontcolor=#ffffff:x=w-tw-1:y=2"],
     read: {chk_overlay_enable: true, edt_overlay_text: 'its on'}},
    {name: 'quotes are taken out of the overlay path', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '/m/a\'b"c.png', rdo_overlay_left: true, edt_overlay_hpad: 0,
              rdo_overlay_top: true, edt_overlay_vpad: 0},
     input: [], empty: [], expect: ["[logo] overlay=0:0 [out]; movie='/m/abc.png', setpts=PTS-STARTPTS [logo]"],
     read: {edt_overlay_video: '/m/abc.png'}},
    {name: 'overlay off: the old overlay goes, other filters stay', kind: 'overlay',
     fields: {chk_overlay_enable: false},
     input: ['drawtext=fontsize=9:fontcolor=#000000:x=0:y=0', 'scale=2:2', "[logo] overlay=1:1 [out]; movie='x'"],
     empty: [], expect: ['scale=2:2'], read: {chk_overlay_enable: false, edt_overlay_text: '%timestamp'}},
    {name: 'overlay on without a path or a text writes nothing', kind: 'overlay',
     fields: {chk_overlay_enable: true, edt_overlay_video: '', edt_overlay_text: ''},
     input: [], empty: [], expect: [], read: {chk_overlay_enable: false}},

    /* ---- aspect ratio, scan type, GPU ---- */
    {name: 'aspect ratio of the output size', kind: 'misc', codec: 'h264',
     fields: {chk_video_aspect: true, edt_frame_width: 1280, edt_frame_height: 720, sel_scan_type: '1',
              edt_gpu_number: 1, sel_gpu_decoding: 'none'},
     input: misc([], ['-preset:v faster', '-aspect 4:3']), empty: misc(),
     expect: {src: [], tgt: ['-preset:v faster', '-aspect 1280:720'], scanType: 1}},
    {name: 'no aspect ratio without a frame size', kind: 'misc', codec: 'h264',
     fields: {chk_video_aspect: true, edt_frame_width: 0, edt_frame_height: 0, sel_scan_type: '0', edt_gpu_number: 1,
              sel_gpu_decoding: 'none'},
     input: misc(), empty: misc(), expect: {src: [], tgt: [], scanType: 0},
     read: {chk_video_aspect: false}},
    {name: 'no aspect ratio with one side of 0', kind: 'misc', codec: 'h264',
     fields: {chk_video_aspect: true, edt_frame_width: 1280, edt_frame_height: '', sel_scan_type: '3',
              edt_gpu_number: 1, sel_gpu_decoding: 'none'},
     input: misc(), empty: misc(), expect: {src: [], tgt: [], scanType: 3}, read: {sel_scan_type: '3'}},
    {name: 'CUVID decoding on GPU 2 for an NVENC target', kind: 'misc', codec: 'nv264',
     fields: {chk_video_aspect: false, sel_scan_type: '0', edt_gpu_number: 2, sel_gpu_decoding: 'h264_cuvid'},
     input: misc(['-c:v h264', '-analyzeduration 1000000']), empty: misc(),
     expect: {src: ['-analyzeduration 1000000', '-hwaccel cuvid -hwaccel_output_format cuda', '-hwaccel_device 1',
                    '-gpu 1', '-c:v h264_cuvid'], tgt: ['-gpu 1'], scanType: 0},
     read: {edt_gpu_number: '2', sel_gpu_decoding: 'h264_cuvid'}},
    {name: 'CUVID decoding on GPU 1 for a software target', kind: 'misc', codec: 'h264',
     fields: {chk_video_aspect: false, sel_scan_type: '0', edt_gpu_number: 1, sel_gpu_decoding: 'h264_cuvid'},
     input: misc(), empty: misc(), expect: {src: ['-c:v h264_cuvid'], tgt: [], scanType: 0}},
    {name: 'CUVID decoding on GPU 3 for a software target: the GPU reads back from the source', kind: 'misc',
     codec: 'h265', fields: {chk_video_aspect: false, sel_scan_type: '0', edt_gpu_number: 3, sel_gpu_decoding: 'hevc_cuvid'},
     input: misc(), empty: misc(), expect: {src: ['-hwaccel_device 2', '-gpu 2', '-c:v hevc_cuvid'], tgt: [], scanType: 0}},
    {name: 'QSV decoding for a QuickSync target', kind: 'misc', codec: 'qsv265',
     fields: {chk_video_aspect: false, sel_scan_type: '2', edt_gpu_number: 3, sel_gpu_decoding: 'hevc_qsv'},
     input: misc(), empty: misc(), expect: {src: ['-hwaccel qsv', '-c:v hevc_qsv'], tgt: [], scanType: 2},
     read: {sel_gpu_decoding: 'hevc_qsv', sel_scan_type: '2', edt_gpu_number: '1'}},
    {name: 'QSV decoding for a software target', kind: 'misc', codec: 'h264',
     fields: {chk_video_aspect: false, sel_scan_type: '0', edt_gpu_number: 1, sel_gpu_decoding: 'h264_qsv'},
     input: misc(), empty: misc(), expect: {src: ['-c:v h264_qsv'], tgt: [], scanType: 0}},
    {name: 'decoding off takes the decoder entries out', kind: 'misc', codec: 'nv265',
     fields: {chk_video_aspect: false, sel_scan_type: '0', edt_gpu_number: 1, sel_gpu_decoding: 'none'},
     input: misc(['-hwaccel cuvid -hwaccel_output_format cuda', '-hwaccel_device 1', '-gpu 1', '-c:v hevc_cuvid', '-re'],
                 ['-gpu 1', '-b:v 1M']),
     empty: misc(), expect: {src: ['-re'], tgt: ['-b:v 1M'], scanType: 0}, read: {sel_gpu_decoding: 'none'}},

    /* ---- MPEG-TS service data ---- */
    {name: 'MPEG-TS defaults write nothing', kind: 'mpegts',
     fields: {edt_ts_pmt_pid: 4096, edt_ts_program: 1, edt_ts_start_pid: 256, edt_ts_service_name: '',
              edt_ts_provider: '', chk_ts_fec: false},
     input: output('udp'), empty: output('udp'), expect: []},
    {name: 'PIDs out of range write nothing', kind: 'mpegts',
     fields: {edt_ts_pmt_pid: 16, edt_ts_program: 0, edt_ts_start_pid: 8190, edt_ts_service_name: '',
              edt_ts_provider: '', chk_ts_fec: false},
     input: output('srt'), empty: output('srt'), expect: [],
     read: {edt_ts_pmt_pid: '4096', edt_ts_program: '1', edt_ts_start_pid: '256'}},
    {name: 'every MPEG-TS option in order, single quotes taken out of the texts', kind: 'mpegts',
     fields: {edt_ts_pmt_pid: 32, edt_ts_program: 2, edt_ts_start_pid: 8186, edt_ts_service_name: "News 'HD'",
              edt_ts_provider: "Acme's", chk_ts_fec: true, edt_ts_fec_col: 4, edt_ts_fec_row: 6},
     input: output('rtpts', ['-muxrate 5000000', '-metadata title=x']), empty: output('rtpts'),
     expect: ['-muxrate 5000000', '-mpegts_pmt_start_pid 32', '-mpegts_service_id 2', '-mpegts_start_pid 8186',
              "-metadata service_name='News HD'", "-metadata service_provider='Acmes'", '-fec prompeg=l=4:d=6'],
     read: {edt_ts_pmt_pid: '32', edt_ts_program: '2', edt_ts_start_pid: '8186', edt_ts_service_name: 'News HD',
            edt_ts_provider: 'Acmes', chk_ts_fec: true, edt_ts_fec_col: '4', edt_ts_fec_row: '6'}},
    {name: 'MPEG-TS options only for transport stream targets', kind: 'mpegts',
     fields: {edt_ts_pmt_pid: 4097, edt_ts_program: 3, edt_ts_service_name: 'x', chk_ts_fec: true},
     input: output('hls', ['-hls_time 5', '-mpegts_service_id 9']), empty: output('hls'), expect: ['-hls_time 5'],
     read: {edt_ts_program: '1', chk_ts_fec: false}},

    /* ---- HLS ---- */
    {name: 'HLS defaults write the segment time alone', kind: 'hls',
     fields: {edt_hls_hours: 0, edt_hls_minutes: 0, edt_hls_seconds: 5, edt_hls_list_size: 5, edt_hls_start_number: 1,
              edt_hls_base_url: '', chk_hls_enc: false},
     input: output('hls'), empty: output('hls'), expect: ['-hls_time 5']},
    {name: 'a segment of one hour', kind: 'hls',
     fields: {edt_hls_hours: 1, edt_hls_minutes: 0, edt_hls_seconds: 0, edt_hls_list_size: 5, edt_hls_start_number: 1,
              edt_hls_base_url: '', chk_hls_enc: false},
     input: output('hls'), empty: output('hls'), expect: ['-hls_time 3600']},
    {name: 'a segment length of 0 writes 5 seconds', kind: 'hls',
     fields: {edt_hls_hours: '', edt_hls_minutes: 0, edt_hls_seconds: 0, edt_hls_list_size: 0, edt_hls_start_number: 0,
              edt_hls_base_url: '', chk_hls_enc: false},
     input: output('hls'), empty: output('hls'), expect: ['-hls_time 5'],
     read: {edt_hls_hours: '0', edt_hls_minutes: '0', edt_hls_seconds: '5', edt_hls_list_size: '5'}},
    {name: 'every HLS option in order; hand-written ones stay', kind: 'hls',
     fields: {edt_hls_hours: 0, edt_hls_minutes: 2, edt_hls_seconds: 5, edt_hls_list_size: 10, edt_hls_start_number: 3,
              edt_hls_base_url: 'http://cdn.example/live/', chk_hls_enc: true},
     input: output('hls', ['-hls_flags delete_segments', '-hls_time 9', '-hls_enc 1']), empty: output('hls'),
     expect: ['-hls_flags delete_segments', '-hls_time 125', '-hls_list_size 10', '-start_number 3',
              '-hls_base_url http://cdn.example/live/', '-hls_enc 1']},
    {name: 'HLS options only for an HLS target', kind: 'hls',
     fields: {edt_hls_seconds: 9, chk_hls_enc: true},
     input: output('udp', ['-hls_time 9', '-muxdelay 0']), empty: output('udp'), expect: ['-muxdelay 0'],
     read: {edt_hls_seconds: '5', chk_hls_enc: false}},

    /* ---- RTMP ---- */
    {name: 'RTMP publishing data for an RTMP target', kind: 'rtmp',
     fields: {edt_rtmp_flashver: 'FMLE/3.0', edt_rtmp_swfurl: 'http://x/p.swf', edt_rtmp_user: 'me', edt_rtmp_passwd: 'pw'},
     input: {format: 'rtmp'}, empty: {},
     expect: {flashVer: 'FMLE/3.0', swfUrl: 'http://x/p.swf', user: 'me', passwd: 'pw'}},
    {name: 'no RTMP publishing data for another target', kind: 'rtmp',
     fields: {edt_rtmp_flashver: 'FMLE/3.0', edt_rtmp_swfurl: 'x', edt_rtmp_user: 'me', edt_rtmp_passwd: 'pw'},
     input: {format: 'udp', rtmp: {user: 'old'}}, empty: {},
     expect: {flashVer: '', swfUrl: '', user: '', passwd: ''},
     read: {edt_rtmp_flashver: '', edt_rtmp_swfurl: '', edt_rtmp_user: '', edt_rtmp_passwd: ''}},
];

test('option builders and readers: the table of cases', async () => {
    const {context, page, log} = await h.newPage(s.browser);
    await h.openManager(page);
    for (const c of CASES) {
        const r = await runCase(page, c);
        assert.deepEqual(r.built, c.expect, c.name);
        /* Read back, the fields show what was set, unless the case says what they show. */
        const expected = c.read ? Object.fromEntries(Object.entries(c.read).map(([k, v]) => [k, v]))
                                : Object.fromEntries(Object.entries(c.fields).map(([k, v]) => [k, typeof v === 'boolean' ? v : String(v)]));
        assert.deepEqual(r.read, expected, c.name + ' (read back)');
    }
    assert.deepEqual(log.errors, []);
    await context.close();
});

test('readers: hand-written values, "0" threads, and the defaults between channels', async () => {
    const {context, page} = await h.newPage(s.browser);
    await h.openManager(page);
    assert.deepEqual(await page.evaluate(() => {
        updateVideoCodec({codec: 'H264', options: ['-threads 0', '-preset:v slow', '-profile:v high10', '-level 5']});
        return ['edt_video_threads', 'slide_video_preset', 'edt_video_profile', 'edt_video_level'].map((id) => document.getElementById(id).value)
            .concat(Array.from(document.getElementById('sel_video_profile').options).map((o) => o.value).join());
    }), ['auto', '6', 'high10', '5', 'default,baseline,main,high,high10,high422,high444']);
    /* An encryption switched on in one channel is off in the next one without it. */
    assert.deepEqual(await page.evaluate(() => {
        updateHLS({formatOptions: ['-hls_enc 1', '-hls_time 3725', '-hls_base_url /x/']});
        const first = [document.getElementById('chk_hls_enc').checked, document.getElementById('edt_hls_hours').value,
                       document.getElementById('edt_hls_minutes').value, document.getElementById('edt_hls_seconds').value];
        updateHLS({formatOptions: ['-hls_time 4']});
        return first.concat([document.getElementById('chk_hls_enc').checked, document.getElementById('edt_hls_base_url').value]);
    }), [true, '1', '2', '5', false, '']);
    /* Stream selections: program and PID per entry, at least five rows. */
    assert.deepEqual(await page.evaluate(() => {
        updateMap({mapOptions: ['p:2', '#256', 'p:1:#300', '0:v', '0:p:4', 'p:3:#33']});
        return Array.from(document.querySelectorAll('#tbl_map tbody tr')).map((tr) => tr.cells[0].textContent + '|' + tr.cells[1].textContent);
    }), ['2|', '|256', '1|300', '|v', '4|', '3|33']);
    assert.equal(await page.evaluate(() => { updateMap({}); return document.querySelectorAll('#tbl_map tbody tr').length; }), 5);
    /* A time shift shows its length and folder, the channel's own folder when none was given. */
    assert.deepEqual(await page.evaluate(() => {
        updateTimeshift({cacheTime: 3661, cacheFolder: ''}, 7);
        const first = ['hours', 'minutes', 'seconds', 'folder'].map((f) => document.getElementById('edt_timeshift_' + f).value);
        updateTimeshift({cacheTime: 0, cacheFolder: '/x'}, 7);
        return first.concat(['hours', 'folder'].map((f) => document.getElementById('edt_timeshift_' + f).value));
    }), ['1', '1', '1', '/var/ruxod/cache/7', '', '']);
    /* Apply writes a time shift only when a length was entered. */
    assert.deepEqual(await page.evaluate(() => {
        const output = {timeShift: {cacheTime: 0, cacheFolder: ''}};
        ['hours', 'minutes', 'seconds', 'folder'].forEach((f) => { document.getElementById('edt_timeshift_' + f).value = ''; });
        applyTimeshift(output);
        const untouched = JSON.stringify(output.timeShift);
        document.getElementById('edt_timeshift_minutes').value = '10';
        document.getElementById('edt_timeshift_folder').value = '/cache/x';
        applyTimeshift(output);
        return [untouched, output.timeShift];
    }), ['{"cacheTime":0,"cacheFolder":""}', {cacheTime: 600, cacheFolder: '/cache/x'}]);
    /* removeOption keeps the order of what it leaves. */
    assert.deepEqual(await page.evaluate(() => {
        const list = ['-a 1', '', '-b 2', 7, '-c 3', '-ab 4'];
        removeOption(list, ['-b ', '-c ']);
        return list;
    }), ['-a 1', '-ab 4']);
    await context.close();
});

/* Source URLs: the type and the box text a stored source shows, and what Apply writes from the box
 * (typed into it when the case says so). */
const SOURCE_URLS = [
    {format: 'rtmp', url: 'rtmp://host/app/stream', type: 'rtmp', box: 'host/app/stream', written: 'rtmp://host/app/stream'},
    {format: 'http', url: 'http://h/a?u=rtmp://x/y', type: 'http', box: 'h/a?u=rtmp://x/y', written: 'http://h/a?u=rtmp://x/y'},
    {format: 'file', url: '/media/a.mp4', type: 'file', box: '/media/a.mp4', written: '/media/a.mp4'},
    {format: 'file', url: '/media/folder', type: 'file', box: '/media/folder', written: '/media/folder'},
    {format: 'udp', url: '', typed: '10.0.0.1:5000', type: 'udp', box: '', written: 'udp://10.0.0.1:5000'},
    {format: 'rtmp', url: '', typed: 'rtmp://x/live', type: 'rtmp', box: '', written: 'rtmp://x/live'},
    {format: 'RTSPT', url: 'rtsp://cam/1', type: 'rtsp', box: 'cam/1', written: 'rtsp://cam/1'},
    {format: 'udp', url: 'HTTPS://cdn/x.m3u8', type: 'http', box: 'cdn/x.m3u8', written: 'https://cdn/x.m3u8'},
    {format: 'ftp', url: 'sftp://h/a.mp4', type: 'ftp', box: 'h/a.mp4', written: 'sftp://h/a.mp4'},
    {format: 'ftp', url: 'sftp://h/a.mp4', typed: 'other/b.mp4', type: 'ftp', box: 'h/a.mp4', written: 'sftp://other/b.mp4'},
    {format: 'udp', url: 'tcp://10.0.0.1:9000', type: 'udp', box: 'tcp://10.0.0.1:9000', written: 'tcp://10.0.0.1:9000'},
    {format: 'device', url: '/dev/video0', type: 'device', box: '/dev/video0', written: '/dev/video0'},
    {format: 'mpegts', url: '/media/in.ts', type: 'mpegts', box: '/media/in.ts', written: '/media/in.ts'},
    {format: 'rtmp', url: 'rtmps://host/app', type: 'rtmp', box: 'rtmps://host/app', written: 'rtmps://host/app'},
];

test('source URLs: the type and box they show, and what Apply writes back', async () => {
    const {context, page} = await h.newPage(s.browser);
    await h.openManager(page);
    for (const c of SOURCE_URLS) {
        const r = await page.evaluate((c) => {
            updateSource({format: c.format, url: c.url});
            const shown = {type: document.getElementById('sel_src_fmt').value, box: document.getElementById('edt_src_url').value};
            const box = c.typed === undefined ? shown.box : c.typed;
            return Object.assign(shown, {written: sourceUrl(shown.type, box)});
        }, c);
        assert.deepEqual(r, {type: c.type, box: c.box, written: c.written}, c.url || c.typed);
    }
    await context.close();
});
