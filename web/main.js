/* main.js -- the management page's script: reads the daemon's runtime facts and configuration once,
 * polls the channel states and processor loads every second, and drives the channel table, the
 * channel buttons, the preview player, the channel editor and the pop-up boxes.
 *
 * The page keeps the whole configuration as one model (jsonConfig), edits it in place and posts it
 * whole; functions named update* fill controls from the model, apply* write them back. Every text
 * that comes from the daemon (URLs, memos, status texts, reasons) is inserted as text, never as
 * markup. A reply counts only when it ended with status 200 and holds what was asked for: with a
 * password set, a stale cookie gets the login page (a 200 HTML reply) in place of any data.
 *
 * Ids of the editor's boxes chosen here (the others are the page's fixed ones):
 *   editor:          div_edit_holder (where the source and memo boxes wait outside edit mode),
 *                    fs_video, fs_audio, div_editor_buttons, div_channel_edit_buttons; output tabs
 *                    are links of class mbr_tab inside tab_mbr
 *   advanced video:  tabs tab_video_codec, tab_video_overlay, tab_video_misc;
 *                    Encodings  sel_video_profile/edt_video_profile, sel_video_level/edt_video_level,
 *                               sel_video_threads/edt_video_threads, slide_video_preset,
 *                               edt_video_preset (its value);
 *                    Overlay    chk_overlay_enable, edt_overlay_video, edt_overlay_text,
 *                               edt_overlay_fontsize, clr_overlay_color, fs_overlay_padding,
 *                               rdo_overlay_left, rdo_overlay_right, edt_overlay_hpad,
 *                               rdo_overlay_top, rdo_overlay_bottom, edt_overlay_vpad;
 *                    Misc.      chk_video_aspect, sel_scan_type, edt_gpu_number, sel_gpu_decoding;
 *                    foot       btn_adv_video_ok, btn_adv_video_cancel
 *   advanced format: tabs tab_fmt_ts_in, tab_fmt_ts_out, tab_fmt_rtmp, tab_fmt_hls,
 *                    tab_fmt_timeshift, tab_fmt_custom;
 *                    MPEG TS Input   edt_map_program, edt_map_pid, btn_map_select, tbl_map,
 *                                    btn_map_reset;
 *                    MPEG TS Output  edt_ts_pmt_pid, edt_ts_program, edt_ts_start_pid,
 *                                    edt_ts_service_name, edt_ts_provider, chk_ts_fec,
 *                                    edt_ts_fec_col, edt_ts_fec_row;
 *                    RTMP Config     edt_rtmp_flashver, edt_rtmp_swfurl, edt_rtmp_user,
 *                                    edt_rtmp_passwd;
 *                    HLS Config      edt_hls_hours, edt_hls_minutes, edt_hls_seconds,
 *                                    edt_hls_list_size, edt_hls_start_number, edt_hls_base_url,
 *                                    chk_hls_enc;
 *                    Time Shift      edt_timeshift_hours, edt_timeshift_minutes,
 *                                    edt_timeshift_seconds, edt_timeshift_folder;
 *                    Custom Options  edt_custom_src, edt_custom_tgt;
 *                    foot            btn_adv_fmt_ok, btn_adv_fmt_cancel
 *   global settings: fs_web_interface (with div_web_fields and div_acl), btn_import_config,
 *                    btn_export_config, form_import_config (holding input_import_config),
 *                    form_export_config; foot btn_global_config_ok, btn_global_config_cancel
 *   pickers:         btn_decklink_ok, btn_decklink_cancel; btn_ndi_search, btn_ndi_ok,
 *                    btn_ndi_cancel */
'use strict';

var jsonRuntime = null;   /* the "/runtime" reply */
var jsonConfig = null;    /* the configuration model */
var channelStatus = [];   /* the last "/status" reply's "channels" */
var curChannel = null;    /* the channel that the editor shows */

/* The row whose preview this page's player shows (0: none, or a channel's own MP4 stream, which
 * needs no stop), so that closing the player stops that channel whichever row is selected then. */
var previewRow = 0;
var playerSession = latestWins(); /* taken by every opening and closing of the player */
var playerOpened = 0;       /* when the player was opened (ms since the epoch) */
var playerHadFrame = false; /* the player has shown a frame since it was opened */

var statusPending = false;      /* a status request is under way */
var lastReplyTime = new Date(); /* the last reply to a status request (before any: the page's start) */

var STATES = ['idle', 'running', 'preview', 'stopping'];
var STRIPE_SELECTED = '#3c5a8c';
var POPUP_BOXES = ['div_global_config', 'div_decklink_config', 'div_ndi_config', 'div_adv_fmt',
                   'div_adv_video'];
var STATUS_PERIOD_MS = 1000;
var NO_REPLY_MS = 5000;             /* a status request unanswered this long: the daemon is silent */
var REQUEST_ABANDON_MS = 10000;     /* a status or start request is given up after this long */
var PREVIEW_RETRY_MS = 1000;        /* the player asks again while the preview transcoder starts */
var PREVIEW_RETRY_FOR_MS = 20000;
var LOST_POST_CHECKS = 10;          /* asks for the configuration after a post's reply was lost */
var LOST_POST_RETRY_MS = 1000;
var CPU_CELLS_PER_ROW = 16;
var MAX_ROWS = 1024;       /* a sane bound on "channels" of the runtime reply */
var MAX_CPUS = 1024;       /* the same for the processor list of a status reply */

/* ---- the editor's vocabularies ------------------------------------------------------------- */

var MAX_TARGETS = 5;
var mbrFormats = ['rtmp', 'udp', 'hls', 'dash'];          /* formats with several targets */
/* Source types whose URL the box shows without its scheme; Apply puts the scheme back. */
var SCHEME_SOURCE_TYPES = ['ftp', 'http', 'udp', 'rtp', 'srt', 'rtsp', 'rtspt', 'rtmp', 'mms', 'mmst'];
/* Schemes shown under another source type. */
var SCHEME_TYPES = {https: 'http', sftp: 'ftp'};
/* What the URL box gets when a source type is chosen. */
var SOURCE_URL_EXAMPLES = {http: '192.168.1.2/media/stream.m3u8', ftp: '192.168.1.2/media/stream.mp4',
                           udp: '0.0.0.0:1234', rtp: '0.0.0.0:1234', srt: '0.0.0.0:1234'};
/* What choosing a target format sets: the URL ("{protocol}", "{host}" and "{row}" stand for the
 * page's protocol and host name and the edited row), the video codec (always with the codec's own
 * reaction when "always", else only when it changes it), "mux": mux bit rate 0 and CBR off,
 * "audio": audio codec "aac" at the original sample rate, "mjpeg": the MJPEG codec without audio. */
var TARGET_FORMAT_SETTINGS = {
    rtmp:     {url: 'rtmp://192.168.1.2/live/stream', codec: 'h264', always: true, mux: true, audio: true},
    udp:      {url: 'udp://{host}:1234'},
    httpmp4:  {url: '{protocol}//{host}:1234', codec: 'h264', always: true, mux: true, audio: true},
    http:     {url: '{protocol}//{host}:1234'},
    hls:      {url: '/media/stream.m3u8', codec: 'h264'},
    dash:     {url: '/media/stream.mpd', codec: 'h264'},
    srt:      {url: 'srt://{host}:1234'},
    rtpts:    {url: 'rtp://{host}:1234'},
    file:     {url: '/media/stream.mov', mux: true},
    ftp:      {url: 'ftp://192.168.1.2/media/stream.mp4'},
    decklink: {url: '', mux: true, decklink: true},
    ndi:      {url: 'RUXOD#{row}', mux: true},
    httpmjpg: {url: '{protocol}//{host}:1234', mjpeg: true}
};

var frameSizes = [
    {name: 'original', label: 'Original', width: 0, height: 0},
    {name: 'qvga', label: 'QVGA', width: 320, height: 240},
    {name: 'nhd', label: 'nHD', width: 640, height: 360},
    {name: 'vga', label: 'VGA', width: 640, height: 480},
    {name: 'sd', label: 'SD', width: 720, height: 576},
    {name: 'hd', label: 'HD', width: 1280, height: 720},
    {name: 'fhd', label: 'FullHD', width: 1920, height: 1080},
    {name: 'qhd', label: '2K', width: 2048, height: 1080},
    {name: 'uhd', label: '4K', width: 3840, height: 2160},
    {name: 'other', label: 'Other'}
];

/* The panel's controls that edit mode switches on, by what they follow. */
var TARGET_CTRLS = ['sel_tgt_fmt', 'btn_adv_fmt', 'edt_tgt_url', 'chk_enable_video', 'chk_enable_audio'];
var VIDEO_CTRLS = ['sel_video_codec', 'btn_adv_video', 'sel_frame_size', 'edt_frame_width',
                   'edt_frame_height', 'sel_frame_rate', 'edt_frame_rate', 'edt_video_quality',
                   'sel_video_bitrate', 'edt_video_bitrate', 'edt_video_kfi', 'edt_mux_bitrate',
                   'chk_mux_cbr'];
var AUDIO_CTRLS = ['sel_audio_codec', 'sel_sample_rate', 'edt_sample_rate', 'sel_audio_channel',
                   'sel_audio_bitrate', 'edt_audio_bitrate'];
/* Editable lists: the list and the box laid over it. */
var EDITABLE_LISTS = [['sel_frame_rate', 'edt_frame_rate'], ['sel_video_bitrate', 'edt_video_bitrate'],
                      ['sel_sample_rate', 'edt_sample_rate'], ['sel_audio_bitrate', 'edt_audio_bitrate'],
                      ['sel_video_profile', 'edt_video_profile'], ['sel_video_level', 'edt_video_level'],
                      ['sel_video_threads', 'edt_video_threads']];

/* ---- the advanced boxes' vocabularies ------------------------------------------------------ */

var videoPresets = ['ultrafast', 'superfast', 'veryfast', 'faster', 'fast', 'medium', 'slow', 'slower',
                    'veryslow'];
var videoPresetsNV = ['fast', 'llhp', 'hp', 'default', 'bd', 'medium', 'hq', 'llhq', 'll'];
var videoPresetsAMF = ['speed', 'balanced', 'quality'];
/* The preset slider's lowest and highest value and its default, by codec. */
var videoPresetLimits = {
    h264: [0, 8, 3], nv264: [0, 8, 3], h265: [0, 8, 3], nv265: [0, 8, 3],
    qsv264: [2, 8, 5], qsv265: [4, 6, 5],
    amf264: [0, 2, 0], amf265: [0, 2, 0],
    vp8: [0, 16, 13], vp9: [0, 8, 5], av1: [0, 8, 0]
};
var videoProfiles = {
    h264: ['baseline', 'main', 'high', 'high10', 'high422', 'high444'],
    nv264: ['baseline', 'main', 'high', 'high444p'],
    qsv264: ['baseline', 'main', 'high'],
    amf264: ['constrained_baseline', 'main', 'constrained_high', 'high'],
    h265: ['main', 'main10', 'main444-8', 'main422-10', 'main444-10', 'main12', 'main422-12', 'main444-12'],
    nv265: ['main', 'main10'],
    qsv265: ['main', 'main10', 'mainsp'],
    amf265: ['main']
};
var THREAD_CODECS = ['h264', 'h265', 'vp8', 'vp9', 'av1'];
var NV_CODECS = ['nv264', 'nv265'];
var QSV_CODECS = ['qsv264', 'qsv265', 'qsvvp9', 'qsvmpg'];
/* Target formats that carry MPEG-TS service data. */
var TS_FORMATS = ['udp', 'http', 'rtpts', 'srt'];
var RTMP_FIELDS = ['edt_rtmp_flashver', 'edt_rtmp_swfurl', 'edt_rtmp_user', 'edt_rtmp_passwd'];
var RTMP_KEYS = ['flashVer', 'swfUrl', 'user', 'passwd'];
var HLS_FIELDS = ['edt_hls_hours', 'edt_hls_minutes', 'edt_hls_seconds', 'edt_hls_list_size',
                  'edt_hls_start_number', 'edt_hls_base_url', 'chk_hls_enc'];
var TS_OUT_FIELDS = ['edt_ts_pmt_pid', 'edt_ts_program', 'edt_ts_start_pid', 'edt_ts_service_name',
                     'edt_ts_provider', 'chk_ts_fec'];
var OVERLAY_FIELDS = ['edt_overlay_video', 'edt_overlay_text', 'edt_overlay_fontsize', 'clr_overlay_color',
                      'rdo_overlay_left', 'rdo_overlay_right', 'edt_overlay_hpad', 'rdo_overlay_top',
                      'rdo_overlay_bottom', 'edt_overlay_vpad'];
var MAP_TABLE_ROWS = 5;    /* the stream table shows at least this many rows */
var TIMESHIFT_FOLDER = '/var/ruxod/cache/';

/* ---- the settings box and the device pickers ---------------------------------------------- */

var DEBUG_LOG_LEVEL = 32;      /* the log level that "Debug Log" writes */
var MAX_PORT = 65535;
var NDI_TIMEOUT_MIN = 1;       /* seconds; the daemon's search ends after a minute anyway */
var NDI_TIMEOUT_MAX = 60;
var PICKER_ROW = '#ffffff';
var PICKER_ROW_SELECTED = '#bbddff';

var decklink = null;             /* the last reply of the DeckLink route */
var ndi = null;                  /* the last reply of the NDI route */
var is_decklink_output = false;  /* whether the DeckLink picker serves a target */
/* Each search takes a number, so that only the reply to the latest one is shown. */
var decklinkSearches = latestWins();
var ndiSearches = latestWins();

/* ---- helpers ------------------------------------------------------------------------------- */

function $(id)
{
    return document.getElementById(id);
}

function ParseInt(text)
{
    var n = parseInt(text, 10);
    return isNaN(n) ? 0 : n;
}

function ParseFloat(text)
{
    var n = parseFloat(text);
    return isNaN(n) ? 0 : n;
}

/* Replaces the text of the node's first text child, or puts a text in front of its children when
 * it has none; child elements (the editor's controls inside a cell) stay where they are. */
function setNodeText(node, text)
{
    for (var child = node.firstChild; child; child = child.nextSibling) {
        if (child.nodeType === Node.TEXT_NODE) {
            child.nodeValue = text;
            return;
        }
    }
    node.insertBefore(document.createTextNode(text), node.firstChild);
}

function show(node, bShow)
{
    if (bShow)
        node.classList.remove('hidden');
    else
        node.classList.add('hidden');
}

function isShown(node)
{
    return !node.classList.contains('hidden');
}

/* A value as text: strings as they are, numbers written out, anything else empty. */
function textOf(value)
{
    if (typeof value === 'string')
        return value;
    if (typeof value === 'number' && isFinite(value))
        return String(value);
    return '';
}

function isObject(value)
{
    return value !== null && typeof value === 'object' && !Array.isArray(value);
}

/* The member of a configuration object, its key matched without regard to case (the first match
 * wins), as the daemon reads its configuration; undefined when there is none. */
function getItem(obj, key)
{
    if (!isObject(obj))
        return undefined;
    if (Object.prototype.hasOwnProperty.call(obj, key))
        return obj[key];
    var lower = key.toLowerCase();
    for (var k in obj) {
        if (Object.prototype.hasOwnProperty.call(obj, k) && k.toLowerCase() === lower)
            return obj[k];
    }
    return undefined;
}

/* Sets the member in place when one exists under any case of its key, else adds it last. */
function setItem(obj, key, value)
{
    if (!isObject(obj))
        return;
    var lower = key.toLowerCase();
    for (var k in obj) {
        if (Object.prototype.hasOwnProperty.call(obj, k) && k.toLowerCase() === lower) {
            obj[k] = value;
            return;
        }
    }
    obj[key] = value;
}

/* The member as an object, made an empty one first when it is missing or of another type. */
function objectItem(parent, key)
{
    var item = getItem(parent, key);
    if (!isObject(item)) {
        item = {};
        setItem(parent, key, item);
    }
    return item;
}

/* The member as a list, made an empty one first when it is missing or of another type. */
function listItem(parent, key)
{
    var item = getItem(parent, key);
    if (!Array.isArray(item)) {
        item = [];
        setItem(parent, key, item);
    }
    return item;
}

function deepCopy(value)
{
    return JSON.parse(JSON.stringify(value));
}

/* The model's channels (an empty list before the configuration arrived). */
function modelChannels()
{
    var channels = getItem(jsonConfig, 'channels');
    return Array.isArray(channels) ? channels : [];
}

/* ---- requests ------------------------------------------------------------------------------ */

/* Sends an asynchronous request; onReply gets the finished request (status 0 when it failed, or
 * when timeoutMs, if given, passed without a reply). Returns the request. */
function request(method, url, body, contentType, onReply, timeoutMs)
{
    var xhr = new XMLHttpRequest();
    xhr.open(method, url, true);
    if (timeoutMs)
        xhr.timeout = timeoutMs;
    if (contentType)
        xhr.setRequestHeader('Content-Type', contentType);
    xhr.onreadystatechange = function () {
        if (xhr.readyState === 4 && onReply)
            onReply(xhr);
    };
    xhr.send(body);
    return xhr;
}

/* The login page, which every route answers in place of its data while the cookie is stale. */
function isLoginPage(xhr)
{
    var type = xhr.getResponseHeader('Content-Type') || '';
    return type.toLowerCase().indexOf('text/html') === 0;
}

/* The reply's JSON object when the request ended with 200 and its body is an object that check
 * accepts; null for anything else (a failure, another status, the login page, other text). */
function jsonReply(xhr, check)
{
    if (xhr.status !== 200)
        return null;
    var json;
    try {
        json = JSON.parse(xhr.responseText);
    } catch (e) {
        return null;
    }
    if (!isObject(json) || (check && !check(json)))
        return null;
    return json;
}

/* A channel action's reply (it has no body to parse) counts when it is not the login page. */
function actionDone(xhr)
{
    return xhr.status === 200 && !isLoginPage(xhr);
}

/* ---- configuration posts ------------------------------------------------------------------- */

/* The model's changes and its posts, which the editor and the settings box make through this
 * section alone, and the rules that the channel buttons follow while rows move. One configuration
 * post at a time (the daemon takes requests in no set order): its reply is taken as the model only
 * while the page has not changed the model since that post was sent; otherwise the model as it now
 * stands is posted again. When a post's outcome is unknown, the daemon's configuration is fetched
 * to learn it. Channels that a post removed or added are put back or taken out when the daemon
 * refuses it, so that row n keeps showing the daemon's channel n, which the channel actions act
 * on; while such a post is under way the channel actions wait, and the reply to one sent before
 * the rows moved marks no row. Every "only the latest counts" rule of the page uses latestWins(). */
var postPending = false;    /* a configuration post (or the check after a lost reply) is under way */
var unsavedChanges = [];    /* channels removed or added since the daemon last accepted a post */
/* Taken by every change the page makes to the model. */
var modelVersion = latestWins();
/* Taken whenever the table's channels move rows (a Remove, or one undone). */
var rowShifts = latestWins();

/* A "latest reply wins" counter. take() starts something new (a request, a change, an opening) and
 * returns its number, which makes every number before it stale; current() is the number in force,
 * for a reply that counts while nothing new was started since it was asked for; isLatest(n) tells
 * whether a reply (or a callback) that carries n still counts. */
function latestWins()
{
    var latest = 0;
    return {
        take: function () {
            return ++latest;
        },
        current: function () {
            return latest;
        },
        isLatest: function (n) {
            return n === latest;
        },
    };
}

function isConfigReply(json)
{
    return Array.isArray(getItem(json, 'channels'));
}

/* What the user is told when a post did not give back the configuration (or, for an import, the
 * redirect): the daemon's reason when it sent one as text, a request to log in again when the
 * reply is the login page. */
function saveFailureText(status, contentType, body)
{
    var type = (contentType || '').toLowerCase();
    if (status === 200 && type.indexOf('text/html') === 0)
        return 'Configuration not saved: please log in again.';
    var reason = status !== 200 && type.indexOf('text/plain') === 0 ? body.trim() : '';
    return reason ? 'Configuration not saved: ' + reason : 'Configuration not saved.';
}

function modelChanged()
{
    modelVersion.take();
}

/* Posts the whole model; undo, when given, says how to take back the channel that this change
 * removed ("channel" at "index") or added ("added" at "index") should the daemon refuse it. One
 * post at a time: a change made while one is under way is posted when its reply has come, since
 * the daemon takes requests in no set order. */
function postConfig(undo)
{
    if (undo) {
        undo.generation = modelVersion.current();
        unsavedChanges.push(undo);
    }
    if (!postPending)
        sendConfig();
    updateChannelEditButtons();
}

/* A post that moves rows (a Remove, an added channel) is under way or due: an action sent by row
 * number now could reach the channel that is about to move into that row. */
function rowsMoving()
{
    return unsavedChanges.length > 0;
}

/* A definite no from the daemon: its own refusals, or the login page. */
function isRefusal(xhr)
{
    return [400, 413, 500, 503].indexOf(xhr.status) >= 0 || (xhr.status === 200 && isLoginPage(xhr));
}

/* The daemon's reply, the configuration as it validated and saved it, becomes the model unless the
 * model changed since, when the model as it now stands is posted. A refusal takes back the removed
 * and added channels (the model's other changes stay as they are). When the outcome is unknown (no
 * reply, or an unexpected one) the daemon's configuration is fetched to learn it. */
function sendConfig()
{
    postPending = true;
    var generation = modelVersion.current();
    /* What a lost reply is checked against: the channels without their "enable", which the
     * daemon's own start and stop change. */
    var channels = modelChannels().map(function (channel) {
        var copy = deepCopy(channel);
        if (isObject(copy))
            delete copy.enable;
        return copy;
    });
    request('POST', '/config', JSON.stringify(jsonConfig), 'application/json', function (xhr) {
        var json = jsonReply(xhr, isConfigReply);
        if (json)
            forgetSavedChanges(generation);
        if (!modelVersion.isLatest(generation)) {
            sendConfig();
            return;
        }
        if (json) {
            postPending = false;
            takeConfig(json);
        } else if (isRefusal(xhr)) {
            postPending = false;
            undoUnsavedChanges();
            updateChannelEditButtons();
            alert(saveFailureText(xhr.status, xhr.getResponseHeader('Content-Type'), xhr.responseText));
        } else {
            checkLostPost(channels, generation, LOST_POST_CHECKS);
        }
    });
}

/* The reply to a post was lost: the daemon's configuration becomes the model, and the user hears
 * of it when it lacks the posted channels. While the daemon does not answer, it is asked again a
 * few times; then the model stays as it is (the next post makes it the daemon's) and the user is
 * told that it may not be saved. */
function checkLostPost(channels, generation, triesLeft)
{
    request('GET', '/config', null, null, function (xhr) {
        if (!modelVersion.isLatest(generation)) {
            sendConfig();
            return;
        }
        var json = jsonReply(xhr, isConfigReply);
        if (!json && !isLoginPage(xhr) && triesLeft > 1) {
            setTimeout(function () {
                checkLostPost(channels, generation, triesLeft - 1);
            }, LOST_POST_RETRY_MS);
            return;
        }
        postPending = false;
        if (!json) {
            unsavedChanges = [];
            updateChannelEditButtons();
            alert(saveFailureText(xhr.status, xhr.getResponseHeader('Content-Type'), xhr.responseText));
            return;
        }
        if (holdsValues(channels, json.channels)) {
            forgetSavedChanges(generation);
            takeConfig(json);
            return;
        }
        undoUnsavedChanges();
        takeConfig(json);
        alert(saveFailureText(0, '', ''));
    });
}

/* The daemon holds every removal and addition made up to generation. */
function forgetSavedChanges(generation)
{
    unsavedChanges = unsavedChanges.filter(function (change) {
        return change.generation > generation;
    });
    updateChannelEditButtons();
}

/* The daemon's configuration becomes the model. While a channel is being edited the rows show
 * nothing of it, so the working copy stays bound to its own row. */
function takeConfig(json)
{
    jsonConfig = json;
    updateChannelEditButtons();
    if ($('tbl_channels').editing)
        return;
    updateChannelRows();
    updateSelection();
}

/* Whether saved holds everything that sent has: the daemon may add items of its own. */
function holdsValues(sent, saved)
{
    if (Array.isArray(sent)) {
        return Array.isArray(saved) && saved.length === sent.length && sent.every(function (value, i) {
            return holdsValues(value, saved[i]);
        });
    }
    if (isObject(sent)) {
        return isObject(saved) && Object.keys(sent).every(function (key) {
            return holdsValues(sent[key], saved[key]);
        });
    }
    return sent === saved;
}

/* The daemon refused the post, so it still has the channels of the last one it accepted:
 * removed channels go back into the model and the table, added ones come out, newest first. */
function undoUnsavedChanges()
{
    if (unsavedChanges.length === 0)
        return;
    var channels = modelChannels();
    while (unsavedChanges.length > 0) {
        var change = unsavedChanges.pop();
        if (change.added) {
            channels.splice(change.index, 1);
            if (previewRow === change.index + 1)
                previewRow = 0;
            continue;
        }
        channels.splice(change.index, 0, change.channel);
        /* Its status goes back too, unless a status reply (which still lists it) came since. */
        if (channelStatus === change.statusList && change.status !== undefined)
            channelStatus.splice(change.index, 0, change.status);
        followInsertedRow(change.index + 1);
    }
    modelChanged();
    rowShifts.take();
    updateChannelRows();
    if (!$('tbl_channels').editing)
        updateSelection();
    updateChannelEditButtons();
}

/* ---- start-up ------------------------------------------------------------------------------ */

function init()
{
    request('GET', '/runtime', null, null, onRuntime);
    setInterval(updateChannelStatus, STATUS_PERIOD_MS);
    document.addEventListener('keydown', onKeyDown);
    installChannelTable();
    installButtons();
    $('vid_preview').addEventListener('error', onPlayerError);
    $('vid_preview').addEventListener('loadeddata', function () {
        playerHadFrame = true;
    });
    installPopupBoxes();
    installEditor();
    installAdvancedBoxes();
    installGlobalConfig();
    installPickers();
    updateChannelEditButtons();
}

function onRuntime(xhr)
{
    var json = jsonReply(xhr);
    if (!json)
        return;
    jsonRuntime = json;
    document.title = textOf(json.title);

    var tbody = $('tbl_channels').tBodies[0];
    var nRows = Math.min(Math.max(ParseInt(json.channels), 0), MAX_ROWS);
    for (var n = 0; n < nRows; n++)
        tbody.appendChild(newChannelRow());

    request('GET', '/config', null, null, onConfig);

    setNodeText($('para_logo'), textOf(json.app));
    setNodeText($('para_version'), 'Version ' + textOf(json.version));
    if (/MSIE|Trident\/|Firefox/.test(navigator.userAgent))
        $('para_logo').classList.add('plain_gold');

    if (textOf(json.version) > '5.12.3.4')
        applyVersionRule();

    if ('oem' in json) {
        show($('btn_manual'), false);
        request('GET', '/ruxooem.png', null, null, function (xhrLogo) {
            if (xhrLogo.status !== 200 || isLoginPage(xhrLogo))
                return;
            show($('div_logo'), false);
            $('img_oem').src = '/ruxooem.png';
            show($('img_oem'), !isShown($('vid_preview')));
        });
    }
}

/* Versions after 5.12.3.4 no longer offer the RTSP target, nor the time shift. */
function applyVersionRule()
{
    var list = $('sel_tgt_fmt');
    for (var i = list.options.length - 1; i >= 0; i--) {
        if (list.options[i].value === 'rtsp')
            list.remove(i);
    }
    var tabs = document.querySelectorAll('#tab_adv_fmt .tablinks');
    for (var k = 0; k < tabs.length; k++) {
        if (tabs[k].getAttribute('data-page') === 'div_fmt_timeshift')
            show(tabs[k], false);
    }
}

function onConfig(xhr)
{
    if (xhr.status === 503 && !isLoginPage(xhr)) {
        /* The daemon runs without a configuration: say why in the banner's place. */
        addBannerLine(['The configuration file could not be read: ' + xhr.responseText.trim()]);
        return;
    }
    var json = jsonReply(xhr);
    if (!json)
        return;
    jsonConfig = json;
    updateBanner();
    updateGlobalCfg(getItem(json, 'global'));

    var tbody = $('tbl_channels').tBodies[0];
    updateChannelRows();
    updateChannelEditButtons();
    updateChannelStatus();
    if (tbody.rows.length > 0)
        tbody.rows[0].cells[0].click();
}

/* ---- the banner ---------------------------------------------------------------------------- */

/* Adds one line to the banner and shows it. Each piece is a text, or {bold: text}. */
function addBannerLine(pieces)
{
    var para = document.createElement('p');
    pieces.forEach(function (piece) {
        if (typeof piece === 'string') {
            para.appendChild(document.createTextNode(piece));
        } else {
            var bold = document.createElement('b');
            bold.appendChild(document.createTextNode(piece.bold));
            para.appendChild(bold);
        }
    });
    $('div_insecure').appendChild(para);
    show($('div_insecure'), true);
    return para;
}

/* Warns of a web interface without a password, and of HTTPS asked for but not running. */
function updateBanner()
{
    var global = getItem(jsonConfig, 'global');
    if (passwordText(getItem(global, 'loginPass')) === '') {
        addBannerLine([{bold: 'CAUTION'}, ' Your ' + textOf(jsonRuntime.appAbbr) +
            ' web interface is INSECURE! Channel configuration details and HTTP streams could be' +
            ' exposed to unexpected streamers over the internet. Please set up web login password in' +
            ' Global Settings immediately!']);
    }
    if (getItem(global, 'sslEnable') === true && jsonRuntime.https === false) {
        addBannerLine(['HTTPS is not active: the certificate or key could not be used. This page is' +
            ' sent without encryption.']);
    }
}

/* A "loginPass" as the daemon reads it: a text as it is, an integer number (exact in a double) as
 * its decimal text; anything else is no password. */
function passwordText(value)
{
    if (typeof value === 'string')
        return value;
    if (typeof value === 'number' && Number.isSafeInteger(value))
        return String(value);
    return '';
}

/* ---- channel table ------------------------------------------------------------------------- */

function newChannelRow()
{
    var row = document.createElement('tr');
    var classes = ['col_num', 'col_src', 'col_memo', 'col_status'];
    for (var c = 0; c < classes.length; c++) {
        var cell = document.createElement('td');
        cell.className = classes[c];
        row.appendChild(cell);
    }
    row.addEventListener('mouseenter', function () {
        if (rowHoldsChannel(row))
            row.style.backgroundColor = STRIPE_SELECTED;
    });
    row.addEventListener('mouseleave', function () {
        if (row.sectionRowIndex + 1 !== $('tbl_channels').rowSelected)
            row.style.backgroundColor = '';
    });
    return row;
}

function channelRow(rowId)
{
    return $('tbl_channels').tBodies[0].rows[rowId - 1] || null;
}

function rowHoldsChannel(row)
{
    return row.cells[0].textContent !== '';
}

/* The row's number, first source URL (also its tooltip) and memo. */
function updateChannelRow(rowId, channel)
{
    var row = channelRow(rowId);
    if (!row)
        return;
    var source = firstItem(getItem(getItem(channel, 'input'), 'sources'));
    var url = textOf(getItem(source, 'url'));
    setNodeText(row.cells[0], String(rowId));
    setNodeText(row.cells[1], url);
    row.cells[1].title = url;
    setNodeText(row.cells[2], textOf(getItem(channel, 'memo')));
}

/* An empty row: no number, source, memo, state icon or status. */
function clearChannelRow(rowId)
{
    var row = channelRow(rowId);
    if (!row)
        return;
    for (var c = 0; c < row.cells.length; c++)
        setNodeText(row.cells[c], '');
    row.cells[1].title = '';
    row.cells[3].style.backgroundImage = '';
}

/* Every row shows the model's channel of its number, the rows after the last channel are empty;
 * the row being edited keeps the editor's boxes. */
function updateChannelRows()
{
    var channels = modelChannels();
    var tbl = $('tbl_channels');
    for (var rowId = 1; rowId <= tbl.tBodies[0].rows.length; rowId++) {
        if (rowId === tbl.editing)
            continue;
        if (rowId <= channels.length)
            updateChannelRow(rowId, channels[rowId - 1]);
        else
            clearChannelRow(rowId);
    }
}

function firstItem(list)
{
    return Array.isArray(list) && list.length > 0 ? list[0] : undefined;
}

/* The first target's format of an output, in lower case. */
function outputFormat(output)
{
    return textOf(getItem(firstItem(getItem(output, 'targets')), 'format')).toLowerCase();
}

function firstTargetFormat(channel)
{
    return outputFormat(getItem(channel, 'output'));
}

function installChannelTable()
{
    $('tbl_channels').rowSelected = 0;
    $('tbl_channels').editing = 0;
    $('tbl_channels').tBodies[0].addEventListener('click', function (e) {
        var cell = e.target.closest('td');
        if (cell)
            selectRow(cell.parentNode);
    });
    /* A double-click on a channel's row edits it. */
    $('tbl_channels').tBodies[0].addEventListener('dblclick', function (e) {
        var cell = e.target.closest('td');
        if (cell && !$('tbl_channels').editing && rowHoldsChannel(cell.parentNode))
            onEditClick();
    });
}

function selectRow(row)
{
    var tbl = $('tbl_channels');
    var rowId = row.sectionRowIndex + 1;
    if (tbl.editing || rowId === tbl.rowSelected || !rowHoldsChannel(row))
        return;
    markSelectedRow(rowId);
    updateSettings(rowId);
}

/* The row becomes the selected one (0: none); the one selected before gets its stripe back. */
function markSelectedRow(rowId)
{
    var tbl = $('tbl_channels');
    var previous = channelRow(tbl.rowSelected);
    if (previous)
        previous.style.backgroundColor = '';
    var row = channelRow(rowId);
    if (row)
        row.style.backgroundColor = STRIPE_SELECTED;
    tbl.rowSelected = row ? rowId : 0;
}

/* The last known state of a row's channel, null before the first status reply covered it. */
function lastState(rowId)
{
    var entry = channelStatus[rowId - 1];
    return isObject(entry) ? stateName(entry.state) : null;
}

/* A state as the page knows it; anything else counts as idle. */
function stateName(state)
{
    return STATES.indexOf(state) >= 0 ? state : 'idle';
}

/* The state icon and the status text of a row. Also taken as the row's last status, until the
 * next status reply says otherwise. */
function setRowState(rowId, state, text)
{
    var row = channelRow(rowId);
    if (!row)
        return;
    var cell = row.cells[3];
    cell.style.backgroundImage = 'url(' + stateName(state) + '.png)';
    setNodeText(cell, text);
}

function markRowState(rowId, state, text)
{
    setRowState(rowId, state, text);
    if (rowId - 1 < channelStatus.length)
        channelStatus[rowId - 1] = {state: state, status: text};
    updatePreviewButton();
}

/* ---- status -------------------------------------------------------------------------------- */

function isStatusReply(json)
{
    return Array.isArray(json.channels) && Array.isArray(json.cpu);
}

/* One status request at a time: a tick while one is under way sends none, so a slow link does not
 * pile them up. One unanswered for 5 s says that the daemon is silent; after 10 s it is given up,
 * which counts as no reply too. */
function updateChannelStatus()
{
    if (statusPending)
        return;
    statusPending = true;
    var silentTimer = setTimeout(function () {
        showDaemonSilent(true);
    }, NO_REPLY_MS);
    request('GET', '/status', null, null, function (xhr) {
        statusPending = false;
        clearTimeout(silentTimer);
        if (xhr.status === 0) {
            showDaemonSilent(true);
            return;
        }
        /* Any reply is one: an error status or the login page says the daemon is there. */
        lastReplyTime = new Date();
        showDaemonSilent(false);
        var json = jsonReply(xhr, isStatusReply);
        if (!json)
            return;
        channelStatus = json.channels;
        /* A reply sent before a removal may list one channel more than the model holds. */
        var nChannels = modelChannels().length;
        for (var i = 0; i < channelStatus.length && i < nChannels; i++) {
            var entry = channelStatus[i];
            if (isObject(entry))
                setRowState(i + 1, entry.state, textOf(entry.status));
        }
        updatePreviewButton();
        updateChannelEditButtons();
        updateCpuTable(json.cpu);
    }, REQUEST_ABANDON_MS);
}

/* Two digits of a clock reading. */
function twoDigits(n)
{
    return (n < 10 ? '0' : '') + n;
}

/* While the daemon does not answer, the banner says since when, and the states and loads it last
 * sent are dimmed, since they may no longer hold; its first answer takes both back. */
function showDaemonSilent(bSilent)
{
    var line = $('para_no_reply');
    document.body.classList.toggle('daemon_silent', bSilent);
    if (!bSilent) {
        if (line) {
            line.parentNode.removeChild(line);
            show($('div_insecure'), $('div_insecure').childNodes.length > 0);
        }
        return;
    }
    var t = lastReplyTime;
    var text = 'No reply from the daemon since ' + twoDigits(t.getHours()) + ':' + twoDigits(t.getMinutes()) +
               ':' + twoDigits(t.getSeconds()) + '.';
    if (!line) {
        line = addBannerLine([text]);
        line.id = 'para_no_reply';
    } else {
        setNodeText(line, text);
    }
}

/* Preview is off for a running channel unless its first target is an MP4 stream of its own; while
 * the player shows, the button stays on, since it is what closes the player. */
function updatePreviewButton()
{
    var rowId = $('tbl_channels').rowSelected;
    if (!rowId || !channelStatus[rowId - 1])
        return;
    $('btn_preview').disabled = !isShown($('vid_preview')) && lastState(rowId) === 'running' &&
                                firstTargetFormat(curChannel) !== 'httpmp4';
}

/* One cell per processor, 16 a row, coloured from green (idle) through yellow to red (busy). */
function updateCpuTable(loads)
{
    var nCpus = Math.min(loads.length, MAX_CPUS);
    var tbody = $('tbl_cpu').tBodies[0];
    if (tbody.cpuCount !== nCpus) {
        while (tbody.rows.length > 0)
            tbody.deleteRow(0);
        for (var k = 0; k < nCpus; k++) {
            var row = tbody.rows[Math.floor(k / CPU_CELLS_PER_ROW)] || tbody.insertRow();
            row.insertCell();
        }
        tbody.cpuCount = nCpus;
    }
    for (var i = 0; i < nCpus; i++) {
        var load = Math.min(Math.max(ParseInt(loads[i]), 0), 100);
        var cell = tbody.rows[Math.floor(i / CPU_CELLS_PER_ROW)].cells[i % CPU_CELLS_PER_ROW];
        var red = Math.min(55 + 4 * load, 255);
        var green = load < 50 ? 255 : 255 - 5 * (load - 50);
        setNodeText(cell, load + '%');
        cell.style.backgroundColor = 'rgb(' + red + ',' + green + ',0)';
    }
}

/* ---- channel buttons ----------------------------------------------------------------------- */

function installButtons()
{
    $('btn_start').addEventListener('click', onStartClick);
    $('btn_stop').addEventListener('click', onStopClick);
    $('btn_preview').addEventListener('click', onPreviewClick);
    $('btn_global_config').addEventListener('click', openGlobalConfig);
    $('btn_manual').addEventListener('click', onManualClick);
    installDropdown($('btn_start'), $('mnu_start_all'), onStartAll);
    installDropdown($('btn_stop'), $('mnu_stop_all'), onStopAll);
}

/* A drop-down opens while the pointer is over its mark and closes when the pointer leaves it and
 * its menu. A click on the item does not count as a click on the button that holds it. */
function installDropdown(button, item, onItem)
{
    var dropdown = button.querySelector('.dropdown');
    var mark = dropdown.querySelector('.dropdown_mark');
    var open = function () {
        dropdown.classList.add('open');
    };
    /* A tap opens it too, where there is no pointer to hover. */
    mark.addEventListener('mouseenter', open);
    mark.addEventListener('click', open);
    dropdown.addEventListener('mouseleave', function () {
        dropdown.classList.remove('open');
    });
    dropdown.addEventListener('click', function (e) {
        e.stopPropagation();
    });
    item.addEventListener('click', function () {
        dropdown.classList.remove('open');
        onItem();
    });
}

/* The selected row when it holds a configured channel, else 0. */
function selectedChannel()
{
    var rowId = $('tbl_channels').rowSelected;
    return rowId >= 1 && rowId <= modelChannels().length ? rowId : 0;
}

/* The selected channel for a button that acts on one; 0, after telling the user, without one. */
function channelForButton()
{
    var rowId = selectedChannel();
    if (!rowId)
        alert('Please select channel first.');
    return rowId;
}

function setChannelEnable(rowId, bEnable)
{
    var channel = modelChannels()[rowId - 1];
    if (isObject(channel)) {
        setItem(channel, 'enable', bEnable);
        modelChanged();
    }
}

/* A reply to a start sent before the channels moved rows marks no row: its row shows another
 * channel now (the next status shows the real states). A start without any reply (the daemon
 * stopped, unreachable, or silent for 10 s) says so in place of the daemon's reason. */
function startChannel(rowId, bReportFailure)
{
    var shifts = rowShifts.current();
    request('GET', '/channel' + rowId + '?start', null, null, function (xhr) {
        if (actionDone(xhr) && rowShifts.isLatest(shifts))
            markRowState(rowId, 'running', 'RUNNING');
        else if (bReportFailure && xhr.status === 0)
            alert('Channel start error! no reply from the daemon');
        else if (bReportFailure && xhr.status !== 200)
            alert('Channel start error! ' + xhr.responseText);
    }, REQUEST_ABANDON_MS);
    setChannelEnable(rowId, true);
}

function stopChannel(rowId)
{
    request('GET', '/channel' + rowId + '?stop', null, null, null);
    setChannelEnable(rowId, false);
}

function onStartClick()
{
    if (rowsMoving())
        return;
    var rowId = channelForButton();
    if (!rowId)
        return;
    var state = lastState(rowId);
    if (state !== null && state !== 'idle')
        return;
    startChannel(rowId, true);
}

function onStartAll()
{
    if (rowsMoving())
        return;
    var channels = modelChannels();
    for (var rowId = 1; rowId <= channels.length; rowId++) {
        var state = lastState(rowId);
        if (state === null || state === 'idle')
            startChannel(rowId, false);
    }
}

function onStopClick()
{
    if (rowsMoving())
        return;
    var rowId = channelForButton();
    if (!rowId)
        return;
    /* The preview that this page's player shows is stopped by closing the player; any other
     * channel, a preview started elsewhere included, gets a stop request. */
    if (lastState(rowId) === 'preview' && previewRow === rowId && isShown($('vid_preview'))) {
        onPreviewClick();
        return;
    }
    stopChannel(rowId);
}

/* Every channel that runs, or would run: one that is idle between two tries of its automatic
 * restart still has "enable" true, and only a stop clears it. */
function onStopAll()
{
    if (rowsMoving())
        return;
    var channels = modelChannels();
    for (var rowId = 1; rowId <= channels.length; rowId++) {
        var state = lastState(rowId);
        if (state === null || state !== 'idle' || getItem(channels[rowId - 1], 'enable') === true)
            stopChannel(rowId);
    }
}

function onManualClick()
{
    var website = jsonRuntime ? textOf(jsonRuntime.website) : '';
    if (/^https?:\/\//i.test(website))
        window.open(website, '_blank', 'noopener');
}

/* ---- preview player ------------------------------------------------------------------------ */

/* What the player stands in for: the logo image when the daemon sent one, else the logo box. */
function logoElement()
{
    return $('img_oem').getAttribute('src') ? $('img_oem') : $('div_logo');
}

function openPlayer(port, rowId)
{
    var player = $('vid_preview');
    previewRow = rowId;
    show(logoElement(), false);
    player.src = location.protocol + '//' + location.hostname + ':' + port;
    show(player, true);
    playerSession.take();
    playerOpened = Date.now();
    playerHadFrame = false;
    startPlaying(player);
    setNodeText($('btn_preview'), 'Stop');
    updatePreviewButton();
}

/* Starts the player; where the browser lets only a muted player start by itself, muted. */
function startPlaying(player)
{
    var playing = player.play();
    if (!playing || !playing.catch)
        return;
    var session = playerSession.current();
    playing.catch(function (e) {
        if (e && e.name === 'NotAllowedError' && playerSession.isLatest(session) && !player.muted) {
            player.muted = true;
            startPlaying(player);
        }
    });
}

/* The preview transcoder listens a moment after the start reply, so the player's first tries may
 * be refused: while its row still previews and nothing has played yet, it asks again once a
 * second, for a while. An error after the picture came is left as the player shows it. */
function onPlayerError()
{
    var player = $('vid_preview');
    var session = playerSession.current();
    if (!previewRow || !isShown(player) || playerHadFrame || Date.now() - playerOpened > PREVIEW_RETRY_FOR_MS)
        return;
    setTimeout(function () {
        if (!playerSession.isLatest(session) || !previewRow || lastState(previewRow) !== 'preview' ||
            playerHadFrame || Date.now() - playerOpened > PREVIEW_RETRY_FOR_MS)
            return;
        player.load();
        startPlaying(player);
    }, PREVIEW_RETRY_MS);
}

function closePlayer()
{
    var player = $('vid_preview');
    playerSession.take();
    /* The previewed channel is stopped unless it has moved on (started or stopped elsewhere). */
    var state = previewRow ? lastState(previewRow) : null;
    if (previewRow && state !== 'running' && state !== 'stopping')
        request('GET', '/channel' + previewRow + '?stop', null, null, null);
    previewRow = 0;
    player.pause();
    player.removeAttribute('src');
    player.load();
    show(player, false);
    show(logoElement(), true);
    setNodeText($('btn_preview'), 'Preview');
    updatePreviewButton();
}

/* The port of a target URL ("http://0.0.0.0:1234"), 0 when it has none that can be read. */
function urlPort(url)
{
    var link = document.createElement('a');
    link.href = url;
    var port = ParseInt(link.port);
    if (port === 0 && (link.protocol === 'http:' || link.protocol === 'https:'))
        port = link.protocol === 'https:' ? 443 : 80;
    return port > 0 && port < 65536 ? port : 0;
}

function onPreviewClick()
{
    if (rowsMoving())
        return;
    var rowId = $('tbl_channels').rowSelected;
    if (!rowId || !curChannel || !channelStatus[rowId - 1])
        return;
    if (isShown($('vid_preview'))) {
        closePlayer();
        return;
    }
    var state = lastState(rowId);
    if (state === 'idle') {
        var port = ParseInt(jsonRuntime && jsonRuntime.previewPort);
        if (port <= 0 || port >= 65536)
            return;
        var shifts = rowShifts.current();
        request('GET', '/channel' + rowId + '?preview', null, null, function (xhr) {
            if (!actionDone(xhr) || !rowShifts.isLatest(shifts))
                return;
            markRowState(rowId, 'preview', 'PREVIEW');
            if (!isShown($('vid_preview')))
                openPlayer(port, rowId);
        });
    } else if (firstTargetFormat(curChannel) === 'httpmp4') {
        var target = firstItem(getItem(getItem(curChannel, 'output'), 'targets'));
        var targetPort = urlPort(textOf(getItem(target, 'url')));
        if (targetPort)
            openPlayer(targetPort, 0);
    }
}

/* ---- pop-up boxes -------------------------------------------------------------------------- */

function openPopupBox(id)
{
    show($(id), true);
}

/* The "X" of a box and the last button of its foot ("Cancel") only hide it; its "OK" belongs to
 * the box's owner. A tab link shows its own page of the box alone. */
function installPopupBoxes()
{
    POPUP_BOXES.forEach(function (id) {
        var box = $(id);
        box.querySelector('.popup_box_close').addEventListener('click', function () {
            show(box, false);
        });
        var buttons = box.querySelectorAll('.popup_box_foot button');
        buttons[buttons.length - 1].addEventListener('click', function () {
            show(box, false);
        });
    });
    var links = document.querySelectorAll('.tablinks');
    for (var k = 0; k < links.length; k++)
        links[k].addEventListener('click', onTabClick);
}

function onTabClick(e)
{
    var link = e.currentTarget;
    var links = link.parentNode.querySelectorAll('.tablinks');
    for (var k = 0; k < links.length; k++) {
        links[k].classList.toggle('active', links[k] === link);
        var page = $(links[k].getAttribute('data-page'));
        if (page)
            show(page, links[k] === link);
    }
}

/* Escape hides the first open box; with none open it cancels the channel being edited. */
function onKeyDown(e)
{
    if (e.key !== 'Escape')
        return;
    for (var i = 0; i < POPUP_BOXES.length; i++) {
        if (isShown($(POPUP_BOXES[i]))) {
            show($(POPUP_BOXES[i]), false);
            return;
        }
    }
    if ($('tbl_channels').editing)
        onCancelClick();
}

/* ---- channel editor: showing a channel ----------------------------------------------------- */

var activeTab = -1;                       /* the output tab the panels show (-1: none) */
var editorAtStart = [];                   /* the editor's fields and their values at start-up */
var shownSource = {type: '', scheme: ''}; /* the source type and URL scheme as last shown */

/* The table's entry for the key, undefined when it has none of its own. */
function lookup(table, key)
{
    return Object.prototype.hasOwnProperty.call(table, key) ? table[key] : undefined;
}

function channelTargets(channel)
{
    var targets = getItem(getItem(channel, 'output'), 'targets');
    return Array.isArray(targets) ? targets : [];
}

function firstSource(channel)
{
    return firstItem(getItem(getItem(channel, 'input'), 'sources'));
}

function setDisabled(ids, bDisabled)
{
    ids.forEach(function (id) {
        $(id).disabled = bDisabled;
    });
}

/* Whether a fixed list offers the value itself (an entry added for a stored value does not count). */
function listOffers(list, value)
{
    for (var i = 0; i < list.options.length; i++) {
        if (list.options[i].value === value && !list.options[i].classList.contains('extra'))
            return true;
    }
    return false;
}

/* Shows the value in a fixed list. A value the list does not offer (a word written by hand or by
 * another program) gets an entry of its own, labelled with the value, so that storing the panel
 * writes it back unchanged; such an entry for an earlier value goes. */
function selectValue(list, value)
{
    for (var i = list.options.length - 1; i >= 0; i--) {
        if (list.options[i].classList.contains('extra') && list.options[i].value !== value)
            list.remove(i);
    }
    list.value = value;
    if (list.selectedIndex >= 0 && list.value === value)
        return;
    var option = new Option(value, value);
    option.className = 'extra';
    list.add(option);
    list.value = value;
}

/* A number shown in a box: its value when above 0, else the text that stands for 0. */
function shownNumber(value, zeroText)
{
    var n = typeof value === 'number' ? value : ParseFloat(textOf(value));
    return n > 0 ? String(n) : zeroText;
}

/* Shows a channel in the editor: the given working copy, or the model's channel of the row. */
function updateSettings(rowId, channel)
{
    curChannel = channel || modelChannels()[rowId - 1] || null;
    if (channelStatus[rowId - 1])
        updatePreviewButton();
    var source = firstSource(curChannel);
    if (!isObject(source) || !isObject(channelTargets(curChannel)[0]))
        return;
    if (!isObject(getItem(source, 'video')))
        setItem(source, 'video', {options: []});
    updateChannelRow(rowId, curChannel);
    updateSource(source);
    $('edt_memo').value = textOf(getItem(curChannel, 'memo'));

    var input = getItem(curChannel, 'input');
    var output = getItem(curChannel, 'output');
    updateMap(output);
    updateHLS(output);
    updateMPEGTS(output);
    updateTimeshift(getItem(output, 'timeShift'), rowId);
    $('edt_custom_src').value = textOf(getItem(input, 'customOptions'));
    $('edt_custom_tgt').value = textOf(getItem(output, 'customOptions'));
    updateVideoOverlay(getItem(output, 'filters'));

    show($('tab_mbr'), mbrFormats.indexOf(firstTargetFormat(curChannel)) >= 0);
    rebuildTabs();
    updateTarget(0);
}

/* The source type and URL box. A URL whose scheme names a source type shows that type and the
 * text after the first "://", unless the stored "format" names a type of another kind (an NDI
 * name or a native RTP source may hold such a URL); any other URL shows the source's "format" and
 * the whole URL. */
function updateSource(source)
{
    var url = textOf(getItem(source, 'url'));
    var type = textOf(getItem(source, 'format')).toLowerCase();
    var scheme = '';
    var nEnd = url.indexOf('://');
    if (nEnd > 0) {
        var word = url.slice(0, nEnd).toLowerCase();
        var schemeType = lookup(SCHEME_TYPES, word) || word;
        var bUrlType = type === '' || type === schemeType || SCHEME_SOURCE_TYPES.indexOf(type) >= 0 ||
                       lookup(SCHEME_TYPES, type) !== undefined;
        if (bUrlType && listOffers($('sel_src_fmt'), schemeType)) {
            type = schemeType;
            scheme = word;
            url = url.slice(nEnd + 3);
        }
    }
    selectValue($('sel_src_fmt'), type);
    $('edt_src_url').value = url;
    shownSource = {type: type, scheme: scheme};
}

/* The source URL as Apply writes it: the type's scheme goes in front of a box that does not begin
 * with one (a "://" further on, as in a query, is part of the URL); a URL shown with its own
 * scheme ("https", "sftp") keeps it while the type is unchanged. */
function sourceUrl(type, box)
{
    if (SCHEME_SOURCE_TYPES.indexOf(type) < 0 || /^[a-z][a-z0-9+.-]*:\/\//i.test(box))
        return box;
    var scheme = type === shownSource.type && shownSource.scheme ? shownSource.scheme : type;
    return scheme + '://' + box;
}

/* One output tab per target, "Output1" and so on, in front of "+" and "-"; none is active yet. */
function rebuildTabs()
{
    var bar = $('tab_mbr');
    var tabs = bar.querySelectorAll('.mbr_tab');
    for (var k = 0; k < tabs.length; k++)
        bar.removeChild(tabs[k]);
    var targets = channelTargets(curChannel);
    for (var i = 0; i < targets.length; i++) {
        var tab = document.createElement('a');
        tab.className = 'mbr_tab';
        tab.appendChild(document.createTextNode('Output' + (i + 1)));
        bar.insertBefore(tab, $('tab_mbr_add'));
    }
    activeTab = -1;
    updateTabButtons();
}

function markActiveTab()
{
    var tabs = $('tab_mbr').querySelectorAll('.mbr_tab');
    for (var k = 0; k < tabs.length; k++)
        tabs[k].classList.toggle('active', k === activeTab);
}

/* "+" and "-" are there while editing a channel whose tab bar shows. */
function updateTabButtons()
{
    var bShow = Boolean($('tbl_channels').editing) && isShown($('tab_mbr'));
    show($('tab_mbr_add'), bShow);
    show($('tab_mbr_del'), bShow);
}

/* Shows the target of an output tab; while editing, the panels first go into the tab shown. */
function updateTarget(mbrTab)
{
    var target = channelTargets(curChannel)[mbrTab];
    if (!isObject(target))
        return;
    if ($('tbl_channels').editing)
        applyTarget();
    activeTab = mbrTab;
    markActiveTab();

    var video = getItem(target, 'video');
    var audio = getItem(target, 'audio');
    var mux = getItem(target, 'mux');
    var url = textOf(getItem(target, 'url'));
    selectValue($('sel_tgt_fmt'), textOf(getItem(target, 'format')).toLowerCase());
    $('edt_tgt_url').value = url;
    $('edt_tgt_url').title = url;
    updateRTMP(getItem(target, 'rtmp'));

    $('chk_enable_video').checked = getItem(video, 'enable') === true;
    selectValue($('sel_video_codec'), textOf(getItem(video, 'codec')).toLowerCase());
    showFrameSize(ParseInt(getItem(video, 'width')), ParseInt(getItem(video, 'height')));
    $('edt_frame_rate').value = shownNumber(getItem(video, 'frameRate'), 'Original');
    $('edt_video_quality').value = shownNumber(getItem(video, 'quality'), 'Default');
    $('edt_video_bitrate').value = shownNumber(getItem(video, 'bitRate'), 'Default');
    $('edt_video_kfi').value = textOf(getItem(video, 'keyFrameInterval'));
    updateVideoCodec(video);
    updateVideoMisc(video, getItem(firstSource(curChannel), 'video'));
    $('edt_mux_bitrate').value = textOf(getItem(mux, 'bitRate'));
    $('chk_mux_cbr').checked = getItem(mux, 'cbr') === true;

    $('chk_enable_audio').checked = getItem(audio, 'enable') === true;
    selectValue($('sel_audio_codec'), textOf(getItem(audio, 'codec')).toLowerCase());
    $('edt_sample_rate').value = shownNumber(getItem(audio, 'sampleRate'), 'Original');
    selectValue($('sel_audio_channel'), String(ParseInt(getItem(audio, 'channels'))));
    $('edt_audio_bitrate').value = shownNumber(getItem(audio, 'bitRate'), 'Default');
    updatePanelCtrls();
}

/* The named frame size whose width and height both match, with read-only boxes; "Other" with
 * editable boxes for any other size. */
function showFrameSize(width, height)
{
    var name = 'other';
    for (var i = 0; i < frameSizes.length; i++) {
        if (frameSizes[i].width === width && frameSizes[i].height === height) {
            name = frameSizes[i].name;
            break;
        }
    }
    $('sel_frame_size').value = name;
    $('edt_frame_width').value = String(width);
    $('edt_frame_height').value = String(height);
    $('edt_frame_width').readOnly = name !== 'other';
    $('edt_frame_height').readOnly = name !== 'other';
}

/* ---- channel editor: storing a channel ----------------------------------------------------- */

/* Stores the panels into the active tab's target. Audio keys the panel does not show (its own
 * options, the addresses of a native RTP target) stay. */
function applyTarget()
{
    var target = channelTargets(curChannel)[activeTab];
    if (!isObject(target))
        return;
    setItem(target, 'format', $('sel_tgt_fmt').value);
    setItem(target, 'url', $('edt_tgt_url').value);
    $('edt_tgt_url').title = $('edt_tgt_url').value;
    applyTargetVideo(target);

    var audio = objectItem(target, 'audio');
    setItem(audio, 'enable', $('chk_enable_audio').checked);
    setItem(audio, 'codec', $('sel_audio_codec').value);
    setItem(audio, 'sampleRate', ParseInt($('edt_sample_rate').value));
    setItem(audio, 'channels', ParseInt($('sel_audio_channel').value));
    setItem(audio, 'bitRate', ParseInt($('edt_audio_bitrate').value));

    var mux = objectItem(target, 'mux');
    setItem(mux, 'bitRate', ParseInt($('edt_mux_bitrate').value));
    setItem(mux, 'cbr', $('chk_mux_cbr').checked);
    applyRTMP(target);
}

/* The video part of storing a target, with the advanced video options, which also rewrite the
 * first source's video options (GPU decoding). */
function applyTargetVideo(target)
{
    var video = objectItem(target, 'video');
    setItem(video, 'enable', $('chk_enable_video').checked);
    setItem(video, 'codec', $('sel_video_codec').value);
    setItem(video, 'width', ParseInt($('edt_frame_width').value));
    setItem(video, 'height', ParseInt($('edt_frame_height').value));
    setItem(video, 'frameRate', ParseFloat($('edt_frame_rate').value));
    setItem(video, 'quality', ParseInt($('edt_video_quality').value));
    setItem(video, 'bitRate', ParseInt($('edt_video_bitrate').value));
    setItem(video, 'keyFrameInterval', ParseInt($('edt_video_kfi').value));
    applyVideoCodec(video);
    applyVideoMisc(objectItem(firstSource(curChannel), 'video'), video);
}

/* ---- channel editor: edit mode ------------------------------------------------------------- */

/* Switches edit mode on for a row, or off (0). */
function disableCtrls(editing)
{
    var tbl = $('tbl_channels');
    var previous = tbl.editing;
    tbl.editing = editing;
    if (editing) {
        placeEditBoxes(channelRow(editing));
    } else {
        parkEditBoxes();
        if (previous)
            refreshRow(previous);
        show($('div_adv_fmt'), false);
        show($('div_adv_video'), false);
        show($('div_decklink_config'), false);
        show($('div_ndi_config'), false);
    }
    setDisabled(TARGET_CTRLS.concat(['sel_src_fmt', 'edt_src_url', 'edt_memo']), !editing);
    updatePanelCtrls();
    updateTabButtons();
    $('btn_edit').disabled = Boolean(editing);
    $('btn_apply').disabled = !editing;
    $('btn_cancel').disabled = !editing;
    updateChannelEditButtons();
}

/* The source type, source URL and memo boxes take the place of the row's texts. */
function placeEditBoxes(row)
{
    setNodeText(row.cells[1], '');
    row.cells[1].appendChild($('sel_src_fmt'));
    row.cells[1].appendChild($('edt_src_url'));
    setNodeText(row.cells[2], '');
    row.cells[2].appendChild($('edt_memo'));
}

function parkEditBoxes()
{
    var holder = $('div_edit_holder');
    holder.appendChild($('sel_src_fmt'));
    holder.appendChild($('edt_src_url'));
    holder.appendChild($('edt_memo'));
}

/* A row shows its channel of the model again, or nothing when the model has none there. */
function refreshRow(rowId)
{
    var channel = modelChannels()[rowId - 1];
    if (channel)
        updateChannelRow(rowId, channel);
    else
        clearChannelRow(rowId);
}

/* In edit mode the video controls follow "Enable Video" and the audio controls "Enable Audio";
 * outside it they are all off. */
function updatePanelCtrls()
{
    var bEditing = Boolean($('tbl_channels').editing);
    setDisabled(VIDEO_CTRLS, !(bEditing && $('chk_enable_video').checked));
    setDisabled(AUDIO_CTRLS, !(bEditing && $('chk_enable_audio').checked));
}

function onEditClick()
{
    if ($('tbl_channels').editing)
        return;
    var rowId = channelForButton();
    if (!rowId)
        return;
    updateSettings(rowId, deepCopy(modelChannels()[rowId - 1]));
    disableCtrls(rowId);
}

/* An empty box gets the focus and its alert. */
function checkFilled(id, text)
{
    if ($(id).value !== '')
        return true;
    alert(text);
    $(id).focus();
    return false;
}

/* A format without several outputs keeps its first target only; several outputs with one URL
 * twice go on only when the user confirms. */
function checkTargets()
{
    var targets = channelTargets(curChannel);
    if (mbrFormats.indexOf(firstTargetFormat(curChannel)) < 0) {
        targets.splice(1);
        return true;
    }
    var urls = targets.map(function (target) {
        return textOf(getItem(target, 'url'));
    });
    var bDuplicate = urls.some(function (url, i) {
        return urls.indexOf(url) !== i;
    });
    return !bDuplicate || confirm('Duplicated target URLs found in multi-bitrate output!\nSure to continue?');
}

function onApplyClick()
{
    var rowId = $('tbl_channels').editing;
    if (!rowId)
        return;
    if (!checkFilled('edt_src_url', 'Setting Error: Source URL empty!') ||
        !checkFilled('edt_tgt_url', 'Setting Error: Target URL empty!'))
        return;
    var type = $('sel_src_fmt').value;
    var input = getItem(curChannel, 'input');
    /* The source's video keys beside its options (a native RTP source's codec) stay, and so do
     * the sources after the first, which the editor does not show. */
    var video = objectItem(firstSource(curChannel), 'video');
    var first = {format: type, url: sourceUrl(type, $('edt_src_url').value), video: video};
    var sources = getItem(input, 'sources');
    setItem(curChannel, 'enable', false);
    setItem(curChannel, 'input', {
        sources: [first].concat(Array.isArray(sources) ? sources.slice(1) : []),
        formatOptions: listItem(input, 'formatOptions'),
        customOptions: $('edt_custom_src').value,
    });
    applyTarget();
    if (!checkTargets())
        return;
    var output = objectItem(curChannel, 'output');
    applyHLS(output);
    applyMPEGTS(output);
    applyTimeshift(output);
    setItem(output, 'customOptions', $('edt_custom_tgt').value);
    setItem(curChannel, 'memo', $('edt_memo').value);

    var channels = listItem(jsonConfig, 'channels');
    var index = Math.min(rowId - 1, channels.length);
    var added = index === channels.length;
    channels[index] = curChannel;
    modelChanged();
    disableCtrls(0);
    updateSettings(rowId);
    postConfig(added ? {index: index, added: true} : null);
}

function onCancelClick()
{
    var rowId = $('tbl_channels').editing;
    if (!rowId)
        return;
    disableCtrls(0);
    if (rowId > modelChannels().length) {
        /* A new channel is dropped with its row. */
        markSelectedRow(0);
        clearEditor();
    } else {
        updateSettings(rowId);
    }
}

/* A channel with the editor's defaults. */
function newChannel()
{
    return {
        enable: false,
        memo: '',
        input: {sources: [{format: 'file', url: '', video: {options: []}}], formatOptions: [], customOptions: ''},
        output: {
            targets: [{
                format: 'udp',
                url: 'udp://' + location.hostname + ':1234',
                video: {enable: true, codec: 'h264', width: 0, height: 0, frameRate: 0, keyFrameInterval: 5,
                        quality: 0, bitRate: 0, scanType: 0, IP: '127.0.0.1', port: 1234, globalHeader: 'inBand',
                        options: ['-preset:v faster']},
                audio: {enable: true, codec: 'aac', sampleRate: 0, channels: 2, bitRate: 0},
                mux: {bitRate: 0, cbr: false},
                rtmp: {flashVer: '', swfUrl: '', user: '', passwd: ''},
            }],
            mapOptions: [],
            formatOptions: [],
            filters: [],
            timeShift: {cacheTime: 0, cacheFolder: ''},
            customOptions: '',
        },
    };
}

/* Whether New Channel would make one: a row is free after the last channel, nothing is being
 * edited, and no post is moving rows. */
function canCreateChannel()
{
    var tbl = $('tbl_channels');
    var nRows = Math.min(ParseInt(jsonRuntime && jsonRuntime.channels), tbl.tBodies[0].rows.length);
    return Boolean(jsonConfig) && !tbl.editing && !rowsMoving() && modelChannels().length < nRows;
}

/* New Channel and Remove Channel look disabled whenever a click on them would do nothing. Remove
 * stays on without a selection, where it tells the user to select a channel. */
function updateChannelEditButtons()
{
    $('btn_create').disabled = !canCreateChannel();
    $('btn_remove').disabled = Boolean($('tbl_channels').editing) || rowsMoving();
}

/* A new channel is edited in the row after the last one, while the table has such a row. */
function onCreateClick()
{
    if (!canCreateChannel())
        return;
    var nChannels = modelChannels().length;
    markSelectedRow(nChannels + 1);
    updateSettings(nChannels + 1, newChannel());
    disableCtrls(nChannels + 1);
}

/* The channels after a removed one move up a row, so all of them must be idle. */
function onRemoveClick()
{
    if (rowsMoving())
        return;
    if ($('tbl_channels').editing)
        return;
    var rowId = channelForButton();
    if (!rowId)
        return;
    var channels = modelChannels();
    for (var r = rowId; r <= channels.length; r++) {
        var state = lastState(r);
        if (state !== null && state !== 'idle') {
            alert('Please stop all channels before removing this channel.');
            return;
        }
    }
    if (!confirm('Warning: Remove this channel?'))
        return;
    var undo = {index: rowId - 1, channel: channels[rowId - 1], status: channelStatus[rowId - 1]};
    channels.splice(rowId - 1, 1);
    channelStatus.splice(rowId - 1, 1);
    undo.statusList = channelStatus;
    modelChanged();
    rowShifts.take();
    /* The player's channel moves up with the rows; a removed one is no longer the page's to stop. */
    if (previewRow > rowId)
        previewRow--;
    else if (previewRow === rowId)
        previewRow = 0;
    updateChannelRows();
    updateSelection();
    postConfig(undo);
}

/* After the model's channels changed: the selected row shows the channel now there, or, when the
 * rows moved up past it, the row above becomes the selected one. */
function updateSelection()
{
    var rowId = Math.min($('tbl_channels').rowSelected, modelChannels().length);
    markSelectedRow(rowId);
    if (rowId)
        updateSettings(rowId);
    else
        clearEditor();
}

/* A channel was put back at rowId: the selected, edited and previewed rows from there on follow
 * their channel down a row. An edit that would move past the table's last row ends. */
function followInsertedRow(rowId)
{
    var tbl = $('tbl_channels');
    if (previewRow >= rowId)
        previewRow++;
    if (tbl.rowSelected >= rowId)
        markSelectedRow(channelRow(tbl.rowSelected + 1) ? tbl.rowSelected + 1 : 0);
    if (tbl.editing < rowId)
        return;
    var row = tbl.editing + 1;
    if (!channelRow(row)) {
        disableCtrls(0);
        clearEditor();
        return;
    }
    /* The row left behind is filled again by the caller. */
    tbl.editing = row;
    updateChannelRow(row, curChannel);
    placeEditBoxes(channelRow(row));
}

/* ---- channel editor: reactions in edit mode ------------------------------------------------ */

function onSourceTypeChange()
{
    if (!$('tbl_channels').editing)
        return;
    var type = $('sel_src_fmt').value;
    $('edt_src_url').value = lookup(SOURCE_URL_EXAMPLES, type) || '';
    if (type === 'decklink')
        popDecklinkList(false);
    else if (type === 'ndi')
        popNdiList();
    setItem(objectItem(curChannel, 'input'), 'formatOptions', []);
    setItem(objectItem(firstSource(curChannel), 'video'), 'options', []);
}

/* A new target format leaves one target, shown in the panels with the format's own settings. */
function onTargetFormatChange()
{
    if (!$('tbl_channels').editing)
        return;
    var format = $('sel_tgt_fmt').value;
    channelTargets(curChannel).splice(1);
    show($('tab_mbr'), mbrFormats.indexOf(format) >= 0);
    rebuildTabs();
    activeTab = 0;
    markActiveTab();
    var settings = lookup(TARGET_FORMAT_SETTINGS, format);
    if (settings)
        applyFormatSettings(settings);
    updateRTMP(null);
    updateHLS(null);
    setItem(objectItem(curChannel, 'output'), 'formatOptions', []);
}

function applyFormatSettings(settings)
{
    var url = settings.url.replace('{protocol}', location.protocol).replace('{host}', location.hostname)
                          .replace('{row}', String($('tbl_channels').editing));
    $('edt_tgt_url').value = url;
    $('edt_tgt_url').title = url;
    if (settings.mux) {
        $('edt_mux_bitrate').value = '0';
        $('chk_mux_cbr').checked = false;
    }
    if (settings.audio) {
        selectValue($('sel_audio_codec'), 'aac');
        $('edt_sample_rate').value = 'Original';
    }
    if (settings.codec && (settings.always || $('sel_video_codec').value !== settings.codec)) {
        selectValue($('sel_video_codec'), settings.codec);
        onVideoCodecChange();
    }
    if (settings.mjpeg) {
        /* The previous codec's profile, level and threads would be refused with MJPEG. */
        selectValue($('sel_video_codec'), 'mjpeg');
        initVideoCodec('mjpeg');
        $('chk_enable_audio').checked = false;
        updatePanelCtrls();
    }
    if (settings.decklink)
        popDecklinkList(true);
}

function onVideoCodecChange()
{
    if (!$('tbl_channels').editing)
        return;
    var codec = $('sel_video_codec').value;
    if (codec === 'copy') {
        showFrameSize(0, 0);
        $('edt_frame_rate').value = 'Original';
        $('edt_video_quality').value = 'Default';
        $('edt_video_bitrate').value = 'Default';
        $('edt_video_kfi').value = '5';
    }
    initVideoCodec(codec);
    var target = channelTargets(curChannel)[activeTab];
    if (!isObject(target))
        return;
    setItem(objectItem(target, 'video'), 'options', []);
    applyTargetVideo(target);
}

/* A named size fills the boxes, read-only; "Other" leaves them as they are, editable. */
function onFrameSizeChange()
{
    var name = $('sel_frame_size').value;
    for (var i = 0; i < frameSizes.length; i++) {
        if (frameSizes[i].name === name && name !== 'other') {
            showFrameSize(frameSizes[i].width, frameSizes[i].height);
            return;
        }
    }
    $('edt_frame_width').readOnly = false;
    $('edt_frame_height').readOnly = false;
}

function onCbrChange()
{
    if ($('chk_mux_cbr').checked && ParseInt($('edt_mux_bitrate').value) === 0) {
        alert('Cannot enable CBR with ZERO Mux Bitrate!');
        $('chk_mux_cbr').checked = false;
    }
}

/* "+" adds a copy of the last target, "-" removes the one shown; at most five, at least one. */
function onAddTarget()
{
    var targets = channelTargets(curChannel);
    if (!$('tbl_channels').editing || targets.length >= MAX_TARGETS)
        return;
    applyTarget();
    targets.push(deepCopy(targets[targets.length - 1]));
    rebuildTabs();
    updateTarget(targets.length - 1);
}

function onRemoveTarget()
{
    var targets = channelTargets(curChannel);
    if (!$('tbl_channels').editing || targets.length < 2 || activeTab < 0)
        return;
    targets.splice(activeTab, 1);
    rebuildTabs();
    updateTarget(0);
}

/* An editable list copies the chosen entry into its box and chooses nothing itself, so that the
 * same entry can be chosen again after the box was typed into. */
function installEditableList(listId, boxId)
{
    var list = $(listId);
    list.selectedIndex = -1;
    list.addEventListener('change', function () {
        if (list.selectedIndex >= 0)
            $(boxId).value = list.options[list.selectedIndex].text;
        list.selectedIndex = -1;
    });
}

function installEditor()
{
    frameSizes.forEach(function (size) {
        $('sel_frame_size').add(new Option(size.label, size.name));
    });
    EDITABLE_LISTS.forEach(function (pair) {
        installEditableList(pair[0], pair[1]);
    });
    $('btn_edit').addEventListener('click', onEditClick);
    $('btn_apply').addEventListener('click', onApplyClick);
    $('btn_cancel').addEventListener('click', onCancelClick);
    $('btn_create').addEventListener('click', onCreateClick);
    $('btn_remove').addEventListener('click', onRemoveClick);
    $('sel_src_fmt').addEventListener('change', onSourceTypeChange);
    $('sel_tgt_fmt').addEventListener('change', onTargetFormatChange);
    $('sel_video_codec').addEventListener('change', onVideoCodecChange);
    $('sel_frame_size').addEventListener('change', onFrameSizeChange);
    $('chk_mux_cbr').addEventListener('change', onCbrChange);
    $('chk_enable_video').addEventListener('change', updatePanelCtrls);
    $('chk_enable_audio').addEventListener('change', updatePanelCtrls);
    $('tab_mbr_add').addEventListener('click', onAddTarget);
    $('tab_mbr_del').addEventListener('click', onRemoveTarget);
    $('tab_mbr').addEventListener('click', function (e) {
        var tab = e.target.closest('.mbr_tab');
        if (tab)
            updateTarget(Array.prototype.indexOf.call($('tab_mbr').querySelectorAll('.mbr_tab'), tab));
    });
    $('btn_adv_fmt').addEventListener('click', openAdvFormat);
    $('btn_adv_video').addEventListener('click', openAdvVideo);
    editorAtStart = editorFields().map(function (field) {
        return {field: field, value: field.value, checked: field.checked};
    });
}

/* The editor's boxes, lists and check boxes, those that wait outside the table included. */
function editorFields()
{
    return Array.prototype.slice.call($('div_editor').querySelectorAll('input, select, textarea'));
}

/* The editor shows no channel, as when the page starts: its fields as they were then, no output
 * tabs, nothing to store into. */
function clearEditor()
{
    curChannel = null;
    editorAtStart.forEach(function (entry) {
        var field = entry.field;
        if (field.tagName === 'SELECT') {
            for (var i = field.options.length - 1; i >= 0; i--) {
                if (field.options[i].classList.contains('extra'))
                    field.remove(i);
            }
        }
        field.value = entry.value;
        field.checked = entry.checked;
        field.title = '';
    });
    show($('tab_mbr'), false);
    rebuildTabs();
    updatePanelCtrls();
}

/* ---- advanced options: shared ------------------------------------------------------------- */

/* Removes, in place and keeping the order of the rest, every entry that is empty (or no text) or
 * that contains any of the given texts. */
function removeOption(options, toRemove)
{
    for (var i = options.length - 1; i >= 0; i--) {
        var entry = typeof options[i] === 'string' ? options[i] : '';
        var bOwned = toRemove.some(function (text) {
            return entry.indexOf(text) >= 0;
        });
        if (entry === '' || bOwned)
            options.splice(i, 1);
    }
}

/* Calls onOption(name, value, rest) for each entry of an option list that holds an option and a
 * value: the entry cut at blanks, its first word the name, its second the value, and rest all
 * that follows the name. */
function eachOption(list, onOption)
{
    if (!Array.isArray(list))
        return;
    list.forEach(function (entry) {
        if (typeof entry !== 'string')
            return;
        var words = entry.trim().split(/ +/);
        if (words.length >= 2)
            onOption(words[0], words[1], entry.trim().slice(words[0].length).trim());
    });
}

/* Quotes would end the quoted text they are put into. */
function withoutQuotes(text, quotes)
{
    return text.replace(quotes, '');
}

function timeSeconds(prefix)
{
    return ParseInt($(prefix + '_hours').value) * 3600 + ParseInt($(prefix + '_minutes').value) * 60 +
           ParseInt($(prefix + '_seconds').value);
}

function setTimeFields(prefix, seconds)
{
    $(prefix + '_hours').value = String(Math.floor(seconds / 3600));
    $(prefix + '_minutes').value = String(Math.floor((seconds % 3600) / 60));
    $(prefix + '_seconds').value = String(seconds % 60);
}

function installAdvancedBoxes()
{
    $('btn_adv_video_ok').addEventListener('click', onAdvVideoOk);
    $('btn_adv_fmt_ok').addEventListener('click', function () {
        show($('div_adv_fmt'), false);
    });
    $('slide_video_preset').addEventListener('input', function () {
        $('edt_video_preset').value = $('slide_video_preset').value;
    });
    $('chk_overlay_enable').addEventListener('change', updateOverlayFields);
    $('chk_ts_fec').addEventListener('change', updateFecFields);
    $('btn_map_select').addEventListener('click', onMapSelect);
    $('btn_map_reset').addEventListener('click', onMapReset);
}

/* ---- advanced video box ------------------------------------------------------------------- */

function openAdvVideo()
{
    $('tab_adv_video').querySelector('.tablinks').click();
    openPopupBox('div_adv_video');
}

/* OK writes the box into the active target and the output's filters. */
function onAdvVideoOk()
{
    var target = channelTargets(curChannel)[activeTab];
    if ($('tbl_channels').editing && isObject(target)) {
        var video = objectItem(target, 'video');
        applyVideoCodec(video);
        applyVideoMisc(objectItem(firstSource(curChannel), 'video'), video);
        applyVideoOverlay(listItem(objectItem(curChannel, 'output'), 'filters'));
    }
    show($('div_adv_video'), false);
}

/* The profile list: "default" and the codec's own profiles. */
function fillProfiles(codec)
{
    var list = $('sel_video_profile');
    while (list.options.length > 0)
        list.remove(0);
    ['default'].concat(lookup(videoProfiles, codec) || []).forEach(function (profile) {
        list.add(new Option(profile, profile));
    });
    list.selectedIndex = -1;
}

function setPreset(p)
{
    if (p < 0)
        return;
    $('slide_video_preset').value = String(p);
    $('edt_video_preset').value = $('slide_video_preset').value;
}

/* A chosen codec starts from its defaults: profile, level, threads and the preset slider. */
function initVideoCodec(codec)
{
    var limits = lookup(videoPresetLimits, codec) || [0, 0, 0];
    fillProfiles(codec);
    $('edt_video_profile').value = 'default';
    $('edt_video_level').value = 'default';
    $('edt_video_threads').value = 'auto';
    $('slide_video_preset').min = String(limits[0]);
    $('slide_video_preset').max = String(limits[1]);
    setPreset(limits[2]);
}

/* The preset names by codec, and the option that carries them. */
function presetNames(codec)
{
    if (NV_CODECS.indexOf(codec) >= 0)
        return videoPresetsNV;
    if (codec === 'amf264' || codec === 'amf265')
        return videoPresetsAMF;
    return videoPresets;
}

/* The slider's option for the codec: a preset name, an AMF quality or a VPX/AV1 speed. */
function presetOption(codec, p)
{
    if (codec === 'vp8')
        return '-cpu-used ' + (16 - p);
    if (codec === 'vp9' || codec === 'av1')
        return '-cpu-used ' + (8 - p);
    var option = {h264: '-preset:v ', h265: '-preset:v ', qsv264: '-preset:v ', qsv265: '-preset:v ',
                  nv264: '-preset:v ', nv265: '-preset:v ', amf264: '-quality:v ', amf265: '-quality:v '};
    var name = presetNames(codec)[p];
    return lookup(option, codec) && name !== undefined ? lookup(option, codec) + name : '';
}

function updateVideoCodec(video)
{
    var codec = textOf(getItem(video, 'codec')).toLowerCase();
    initVideoCodec(codec);
    eachOption(getItem(video, 'options'), function (name, value) {
        if (name === '-profile:v')
            $('edt_video_profile').value = value;
        else if (name === '-level')
            $('edt_video_level').value = value;
        else if (name === '-threads' && THREAD_CODECS.indexOf(codec) >= 0)
            $('edt_video_threads').value = value === '0' ? 'auto' : value;
        else if (name === '-preset:v')
            setPreset((NV_CODECS.indexOf(codec) >= 0 ? videoPresetsNV : videoPresets).indexOf(value));
        else if (name === '-quality:v')
            setPreset(videoPresetsAMF.indexOf(value));
        else if (name === '-cpu-used' && codec === 'vp8')
            setPreset(16 - ParseInt(value));
        else if (name === '-cpu-used' && (codec === 'vp9' || codec === 'av1'))
            setPreset(8 - ParseInt(value));
    });
}

/* A box's text as an option value: blanks around it dropped, "default" and "auto" (any case)
 * standing for none. */
function optionValue(id, noneWord)
{
    var value = $(id).value.trim().toLowerCase();
    return value === noneWord ? '' : value;
}

function applyVideoCodec(video)
{
    var options = listItem(video, 'options');
    removeOption(options, ['-profile:v ', '-level ', '-threads ', '-cpu-used ', '-preset:v ', '-quality:v ']);
    var codec = $('sel_video_codec').value;
    var profile = optionValue('edt_video_profile', 'default');
    var level = optionValue('edt_video_level', 'default');
    var threads = optionValue('edt_video_threads', 'auto');
    if (profile)
        options.push('-profile:v ' + profile);
    if (level)
        options.push('-level ' + level);
    if (threads && THREAD_CODECS.indexOf(codec) >= 0)
        options.push('-threads ' + threads);
    var preset = presetOption(codec, ParseInt($('slide_video_preset').value));
    if (preset)
        options.push(preset);
}

/* The GPU box's number counted from 0. */
function gpuIndex()
{
    return Math.max(ParseInt($('edt_gpu_number').value) - 1, 0);
}

function applyVideoMisc(videoSrc, videoTgt)
{
    var g = gpuIndex();
    var codec = $('sel_video_codec').value;
    var options = listItem(videoTgt, 'options');
    removeOption(options, ['-aspect ', '-gpu ']);
    var width = ParseInt($('edt_frame_width').value);
    var height = ParseInt($('edt_frame_height').value);
    /* The transcoder refuses an aspect ratio of a size it is not given. */
    if ($('chk_video_aspect').checked && width > 0 && height > 0)
        options.push('-aspect ' + width + ':' + height);
    if (g !== 0 && NV_CODECS.indexOf(codec) >= 0)
        options.push('-gpu ' + g);
    setItem(videoTgt, 'scanType', ParseInt($('sel_scan_type').value));

    var srcOptions = listItem(videoSrc, 'options');
    removeOption(srcOptions, ['-hwaccel ', '-hwaccel_output_format ', '-hwaccel_device ', '-gpu ', '-c:v ']);
    var decoder = $('sel_gpu_decoding').value;
    if (decoder === '' || decoder === 'none')
        return;
    if (decoder === 'h264_cuvid' || decoder === 'hevc_cuvid') {
        if (NV_CODECS.indexOf(codec) >= 0)
            srcOptions.push('-hwaccel cuvid -hwaccel_output_format cuda');
        if (g !== 0) {
            srcOptions.push('-hwaccel_device ' + g);
            srcOptions.push('-gpu ' + g);
        }
    } else if ((decoder === 'h264_qsv' || decoder === 'hevc_qsv') && QSV_CODECS.indexOf(codec) >= 0) {
        srcOptions.push('-hwaccel qsv');
    }
    srcOptions.push('-c:v ' + decoder);
}

function updateVideoMisc(videoTgt, videoSrc)
{
    $('chk_video_aspect').checked = false;
    $('edt_gpu_number').value = '1';
    selectValue($('sel_gpu_decoding'), 'none');
    eachOption(getItem(videoTgt, 'options'), function (name, value) {
        if (name === '-aspect')
            $('chk_video_aspect').checked = true;
        else if (name === '-gpu')
            $('edt_gpu_number').value = String(ParseInt(value) + 1);
    });
    selectValue($('sel_scan_type'), String(ParseInt(getItem(videoTgt, 'scanType'))));
    /* The decoder's GPU stands in the source's entries alone when the encoder is no NVENC. */
    eachOption(getItem(videoSrc, 'options'), function (name, value) {
        if (name === '-c:v')
            selectValue($('sel_gpu_decoding'), value.toLowerCase());
        else if (name === '-gpu')
            $('edt_gpu_number').value = String(ParseInt(value) + 1);
    });
}

/* The overlay's two forms: a picture or video over the frame, and a text drawn on it. */
var OVERLAY_MOVIE = /^\[logo\]\s+overlay=(W-w-)?(\d+):(H-h-)?(\d+)\s+\[out\];\s+movie='([^']*)'/;
var OVERLAY_TEXT = /drawtext=(.*:)?fontsize=(\d+):fontcolor=([^:]*):x=(w-tw-)?(\d+):y=(h-th-)?(\d+)/;

function updateOverlayFields()
{
    setDisabled(OVERLAY_FIELDS, !$('chk_overlay_enable').checked);
}

/* The padding choices and distances of an overlay entry: a prefix means right or bottom. */
function setOverlayPadding(right, x, bottom, y)
{
    $(right ? 'rdo_overlay_right' : 'rdo_overlay_left').checked = true;
    $(bottom ? 'rdo_overlay_bottom' : 'rdo_overlay_top').checked = true;
    $('edt_overlay_hpad').value = x;
    $('edt_overlay_vpad').value = y;
}

function applyVideoOverlay(filters)
{
    removeOption(filters, ['[logo] overlay=', 'drawtext=']);
    if (!$('chk_overlay_enable').checked)
        return;
    var right = $('rdo_overlay_right').checked;
    var bottom = $('rdo_overlay_bottom').checked;
    var x = Math.max(ParseInt($('edt_overlay_hpad').value), 0);
    var y = Math.max(ParseInt($('edt_overlay_vpad').value), 0);
    var path = withoutQuotes($('edt_overlay_video').value, /['"]/g);
    var text = withoutQuotes($('edt_overlay_text').value, /['"]/g);
    if (path) {
        filters.push('[logo] overlay=' + (right ? 'W-w-' : '') + x + ':' + (bottom ? 'H-h-' : '') + y +
                     " [out]; movie='" + path + "', setpts=PTS-STARTPTS [logo]");
    } else if (text) {
        var size = Math.max(ParseInt($('edt_overlay_fontsize').value), 1);
        filters.push('drawtext=' + (text.toLowerCase() === '%timestamp' ? '' : "text='" + text + "':") +
                     'fontsize=' + size + ':fontcolor=' + $('clr_overlay_color').value +
                     ':x=' + (right ? 'w-tw-' : '') + x + ':y=' + (bottom ? 'h-th-' : '') + y);
    }
}

function updateVideoOverlay(filters)
{
    $('chk_overlay_enable').checked = false;
    $('edt_overlay_video').value = '';
    $('edt_overlay_text').value = '%timestamp';
    $('edt_overlay_hpad').value = '0';
    $('edt_overlay_vpad').value = '0';
    (Array.isArray(filters) ? filters : []).forEach(function (entry) {
        var movie = OVERLAY_MOVIE.exec(textOf(entry));
        var drawn = OVERLAY_TEXT.exec(textOf(entry));
        if (movie) {
            $('chk_overlay_enable').checked = true;
            setOverlayPadding(movie[1], movie[2], movie[3], movie[4]);
            $('edt_overlay_video').value = movie[5];
        } else if (drawn) {
            $('chk_overlay_enable').checked = true;
            $('edt_overlay_fontsize').value = drawn[2];
            if (/^#[0-9a-f]{6}$/i.test(drawn[3]))
                $('clr_overlay_color').value = drawn[3];
            setOverlayPadding(drawn[4], drawn[5], drawn[6], drawn[7]);
            var text = /^text='(.*)':$/.exec(drawn[1] || '');
            if (text)
                $('edt_overlay_text').value = text[1];
        }
    });
    updateOverlayFields();
}

/* ---- advanced format box ------------------------------------------------------------------ */

/* Each tab's fields are open only for the target formats that use them. */
function openAdvFormat()
{
    var format = $('sel_tgt_fmt').value;
    setDisabled(RTMP_FIELDS, format !== 'rtmp');
    setDisabled(HLS_FIELDS, format !== 'hls');
    setDisabled(TS_OUT_FIELDS, TS_FORMATS.indexOf(format) < 0);
    updateFecFields();
    $('tab_adv_fmt').querySelector('.tablinks').click();
    openPopupBox('div_adv_fmt');
}

/* Stream selection: "Select" adds an entry at once, "Reset" empties the list. */
function onMapSelect()
{
    if (!$('tbl_channels').editing)
        return;
    var parts = [];
    var program = $('edt_map_program').value.trim();
    var pid = $('edt_map_pid').value.trim();
    if (program)
        parts.push('p:' + program);
    if (pid)
        parts.push('#' + pid);
    if (parts.length === 0)
        return;
    var output = objectItem(curChannel, 'output');
    listItem(output, 'mapOptions').push(parts.join(':'));
    updateMap(output);
}

function onMapReset()
{
    if (!$('tbl_channels').editing)
        return;
    var output = objectItem(curChannel, 'output');
    setItem(output, 'mapOptions', []);
    updateMap(output);
}

/* One row per stream selection, at least five rows. */
function updateMap(output)
{
    var tbody = $('tbl_map').tBodies[0];
    while (tbody.rows.length > 0)
        tbody.deleteRow(0);
    var entries = getItem(output, 'mapOptions');
    entries = Array.isArray(entries) ? entries : [];
    for (var i = 0; i < Math.max(entries.length, MAP_TABLE_ROWS); i++) {
        var row = tbody.insertRow();
        var program = row.insertCell();
        var pid = row.insertCell();
        if (i < entries.length)
            showMapEntry(textOf(entries[i]), program, pid);
    }
}

/* "p:1:#256" shows program 1 and PID 256; a leading "0" (the input) is left out. */
function showMapEntry(entry, cellProgram, cellPid)
{
    var parts = entry.split(':');
    if (parts[0] === '0')
        parts.shift();
    for (var k = 0; k < parts.length; k++) {
        if (parts[k] === 'p')
            setNodeText(cellProgram, parts[++k] || '');
        else
            setNodeText(cellPid, parts[k].replace(/^#/, ''));
    }
}

/* FEC's column and row are open only while FEC is on. */
function updateFecFields()
{
    var bOpen = $('chk_ts_fec').checked && !$('chk_ts_fec').disabled;
    setDisabled(['edt_ts_fec_col', 'edt_ts_fec_row'], !bOpen);
}

function applyMPEGTS(output)
{
    var options = listItem(output, 'formatOptions');
    removeOption(options, ['-mpegts_pmt_start_pid ', '-mpegts_service_id ', '-mpegts_start_pid ',
                           '-metadata ', '-fec ']);
    if (TS_FORMATS.indexOf(outputFormat(output)) < 0)
        return;
    var pmtPid = ParseInt($('edt_ts_pmt_pid').value);
    var program = ParseInt($('edt_ts_program').value);
    var startPid = ParseInt($('edt_ts_start_pid').value);
    var name = withoutQuotes($('edt_ts_service_name').value, /'/g);
    var provider = withoutQuotes($('edt_ts_provider').value, /'/g);
    if (pmtPid >= 0x20 && pmtPid <= 0x1ffa && pmtPid !== 4096)
        options.push('-mpegts_pmt_start_pid ' + pmtPid);
    if (program !== 0 && program !== 1)
        options.push('-mpegts_service_id ' + program);
    if (startPid >= 0x20 && startPid <= 0x1ffa && startPid !== 256)
        options.push('-mpegts_start_pid ' + startPid);
    if (name)
        options.push("-metadata service_name='" + name + "'");
    if (provider)
        options.push("-metadata service_provider='" + provider + "'");
    if ($('chk_ts_fec').checked) {
        options.push('-fec prompeg=l=' + ParseInt($('edt_ts_fec_col').value) + ':d=' +
                     ParseInt($('edt_ts_fec_row').value));
    }
}

function updateMPEGTS(output)
{
    $('edt_ts_pmt_pid').value = '4096';
    $('edt_ts_program').value = '1';
    $('edt_ts_start_pid').value = '256';
    $('edt_ts_service_name').value = '';
    $('edt_ts_provider').value = '';
    $('chk_ts_fec').checked = false;
    $('edt_ts_fec_col').value = '5';
    $('edt_ts_fec_row').value = '5';
    eachOption(getItem(output, 'formatOptions'), function (name, value, rest) {
        if (name === '-mpegts_pmt_start_pid')
            $('edt_ts_pmt_pid').value = value;
        else if (name === '-mpegts_service_id')
            $('edt_ts_program').value = value;
        else if (name === '-mpegts_start_pid')
            $('edt_ts_start_pid').value = value;
        else if (name === '-metadata')
            showMetadata(rest);
        else if (name === '-fec' && value.indexOf('prompeg') === 0)
            showFec(value);
    });
    updateFecFields();
}

/* service_name='...' and service_provider='...' */
function showMetadata(text)
{
    var item = /^(\w+)='(.*)'$/.exec(text);
    if (item && item[1] === 'service_name')
        $('edt_ts_service_name').value = item[2];
    else if (item && item[1] === 'service_provider')
        $('edt_ts_provider').value = item[2];
}

/* prompeg=l=<column>:d=<row> */
function showFec(value)
{
    $('chk_ts_fec').checked = true;
    value.slice(value.indexOf('=') + 1).split(':').forEach(function (part) {
        if (part.indexOf('l=') === 0)
            $('edt_ts_fec_col').value = part.slice(2);
        else if (part.indexOf('d=') === 0)
            $('edt_ts_fec_row').value = part.slice(2);
    });
}

/* Publishing data belongs to RTMP targets only. */
function applyRTMP(target)
{
    var bRtmp = textOf(getItem(target, 'format')).toLowerCase() === 'rtmp';
    var rtmp = {};
    RTMP_KEYS.forEach(function (key, i) {
        rtmp[key] = bRtmp ? $(RTMP_FIELDS[i]).value : '';
    });
    setItem(target, 'rtmp', rtmp);
}

function updateRTMP(rtmp)
{
    RTMP_FIELDS.forEach(function (id, i) {
        $(id).value = textOf(getItem(rtmp, RTMP_KEYS[i]));
    });
}

function applyHLS(output)
{
    var options = listItem(output, 'formatOptions');
    removeOption(options, ['-hls_time ', '-hls_list_size ', '-start_number ', '-hls_base_url ', '-hls_enc ']);
    if (outputFormat(output) !== 'hls')
        return;
    var seconds = timeSeconds('edt_hls');
    var listSize = ParseInt($('edt_hls_list_size').value);
    var startNumber = ParseInt($('edt_hls_start_number').value);
    var baseUrl = $('edt_hls_base_url').value;
    options.push('-hls_time ' + (seconds > 0 ? seconds : 5));
    if (listSize !== 0 && listSize !== 5)
        options.push('-hls_list_size ' + listSize);
    if (startNumber !== 0 && startNumber !== 1)
        options.push('-start_number ' + startNumber);
    if (baseUrl)
        options.push('-hls_base_url ' + baseUrl);
    if ($('chk_hls_enc').checked)
        options.push('-hls_enc 1');
}

function updateHLS(output)
{
    setTimeFields('edt_hls', 5);
    $('edt_hls_list_size').value = '5';
    $('edt_hls_start_number').value = '1';
    $('edt_hls_base_url').value = '';
    $('chk_hls_enc').checked = false;
    eachOption(getItem(output, 'formatOptions'), function (name, value) {
        if (name === '-hls_time')
            setTimeFields('edt_hls', Math.max(ParseInt(value), 0));
        else if (name === '-hls_list_size')
            $('edt_hls_list_size').value = value;
        else if (name === '-start_number')
            $('edt_hls_start_number').value = value;
        else if (name === '-hls_base_url')
            $('edt_hls_base_url').value = value;
        else if (name === '-hls_enc')
            $('chk_hls_enc').checked = true;
    });
}

/* The time shift shows a length only when the channel has one; its folder defaults per channel. */
function updateTimeshift(timeShift, rowId)
{
    var seconds = ParseInt(getItem(timeShift, 'cacheTime'));
    if (seconds <= 0) {
        ['_hours', '_minutes', '_seconds', '_folder'].forEach(function (field) {
            $('edt_timeshift' + field).value = '';
        });
        return;
    }
    setTimeFields('edt_timeshift', seconds);
    $('edt_timeshift_folder').value = textOf(getItem(timeShift, 'cacheFolder')) || TIMESHIFT_FOLDER + rowId;
}

function applyTimeshift(output)
{
    var seconds = timeSeconds('edt_timeshift');
    if (seconds !== 0)
        setItem(output, 'timeShift', {cacheTime: seconds, cacheFolder: $('edt_timeshift_folder').value});
}

/* ---- global settings ---------------------------------------------------------------------- */

/* A configuration item as an integer, read as the daemon reads it: a number cut toward zero, a
 * text as its decimal number, true and false as 1 and 0, anything else 0. */
function configInt(value)
{
    if (typeof value === 'number')
        return isFinite(value) ? Math.trunc(value) : 0;
    if (typeof value === 'string')
        return ParseInt(value.trim());
    if (typeof value === 'boolean')
        return value ? 1 : 0;
    return 0;
}

function openGlobalConfig()
{
    updateGlobalCfg(getItem(jsonConfig, 'global'));
    openPopupBox('div_global_config');
}

/* Fills the settings box from the model's "global"; also names the video-device source type for
 * the daemon's platform. */
function updateGlobalCfg(global)
{
    var cert = textOf(getItem(global, 'sslCert'));
    var key = textOf(getItem(global, 'sslKey'));
    var pass = getItem(global, 'loginPass');
    $('chk_debug_log').checked = configInt(getItem(global, 'log')) > 0;
    $('edt_http_port').value = String(configInt(getItem(global, 'httpPort')));
    $('edt_http_port').setCustomValidity('');
    $('edt_ssl_cert').value = cert;
    $('edt_ssl_key').value = key;
    $('chk_ssl').checked = getItem(global, 'sslEnable') === true && cert !== '' && key !== '';
    $('edt_login_pass').value = passwordText(pass);
    /* A password that is there but empty lets everyone in: the box says so. */
    $('edt_login_pass').style.backgroundColor = pass === '' ? 'yellow' : 'white';
    $('edt_acl').value = textOf(getItem(global, 'ipACL'));
    $('chk_autorun').checked = getItem(global, 'autoRun') === true;
    showLinkedNumber('chk_auto_restart', 'edt_auto_restart', configInt(getItem(global, 'autoRestart')));
    $('chk_folder_recur').checked = getItem(global, 'folderRecur') === true;
    showLinkedNumber('chk_cpu_affinity', 'edt_cpu_affinity', configInt(getItem(global, 'cpuPerChannel')));
    if (!jsonRuntime || jsonRuntime.platform !== 'windows')
        setOptionLabel($('sel_src_fmt'), 'device', 'V4L2');
}

/* A check box that is on while its number box holds a number above 0. */
function showLinkedNumber(checkId, boxId, n)
{
    $(checkId).checked = n > 0;
    $(boxId).value = String(n);
}

/* Checking the box sets its number to 1, unchecking it to 0. */
function installLinkedNumber(checkId, boxId)
{
    $(checkId).addEventListener('change', function () {
        $(boxId).value = $(checkId).checked ? '1' : '0';
    });
}

/* The label of a fixed list's entry (an entry added for a stored value is left alone). */
function setOptionLabel(list, value, label)
{
    for (var i = 0; i < list.options.length; i++) {
        if (list.options[i].value === value && !list.options[i].classList.contains('extra'))
            list.options[i].text = label;
    }
}

/* The port box as a port (0 stands for the daemon's default), -1 when it holds none. */
function portValue(text)
{
    var digits = text.trim();
    if (!/^\d+$/.test(digits))
        return -1;
    var port = Number(digits);
    return port <= MAX_PORT ? port : -1;
}

/* A number box that counts from 0. */
function countValue(id)
{
    return Math.max(ParseInt($(id).value), 0);
}

/* The new "global": exactly these keys in this order; any other key is dropped. */
function applyGlobalCfg(port)
{
    var cert = $('edt_ssl_cert').value;
    var key = $('edt_ssl_key').value;
    return {
        log: $('chk_debug_log').checked ? DEBUG_LOG_LEVEL : 0,
        httpPort: port,
        sslEnable: $('chk_ssl').checked && cert !== '' && key !== '',
        sslCert: cert,
        sslKey: key,
        ipACL: $('edt_acl').value,
        autoRun: $('chk_autorun').checked,
        autoRestart: countValue('edt_auto_restart'),
        folderRecur: $('chk_folder_recur').checked,
        cpuPerChannel: countValue('edt_cpu_affinity'),
        loginPass: $('edt_login_pass').value
    };
}

/* OK needs a port (and a model to post); without one the box stays open and the browser says
 * what is wrong with the port box. The box then closes at once and the whole model goes to the
 * daemon. Its reply carries the login cookie of a new password. */
function onGlobalConfigOk()
{
    var box = $('edt_http_port');
    var port = portValue(box.value);
    if (port < 0) {
        /* A number the browser takes but a port is not ("1e3"), said in the browser's way too. */
        if (box.validity.valid)
            box.setCustomValidity('Please enter a port number from 0 to ' + MAX_PORT + '.');
        box.reportValidity();
        return;
    }
    if (!jsonConfig)
        return;
    setItem(jsonConfig, 'global', applyGlobalCfg(port));
    modelChanged();
    show($('div_global_config'), false);
    postConfig(null);
}

/* ---- configuration import and export ------------------------------------------------------ */

function onImportClick()
{
    $('input_import_config').click();
}

/* The chosen file, once confirmed, replaces the daemon's whole configuration. */
function onImportChosen()
{
    var field = $('input_import_config');
    var name = field.value.replace(/^.*[\\\/]/, '');
    if (name === '')
        return;
    if (!confirm('Import all channels from <' + name + '>?\nAll current channel settings will be OVERWRITTEN!')) {
        field.value = '';
        return;
    }
    var form = new FormData($('form_import_config'));
    field.value = '';
    postImport(form);
}

/* The daemon answers an import it saved with a redirect to the page, which then loads afresh; any
 * other reply keeps the page as it is and says why. */
function postImport(form)
{
    fetch('/config?import', {method: 'POST', body: form, redirect: 'manual', credentials: 'same-origin'})
        .then(function (reply) {
            if (reply.type === 'opaqueredirect') {
                location.assign('/');
                return;
            }
            return reply.text().then(function (body) {
                alert(saveFailureText(reply.status, reply.headers.get('Content-Type'), body));
            });
        })
        .catch(function () {
            alert(saveFailureText(0, '', ''));
        });
}

/* The daemon sends its configuration as the file "ruxod.json". */
function onExportClick()
{
    $('form_export_config').submit();
}

function installGlobalConfig()
{
    $('btn_global_config_ok').addEventListener('click', onGlobalConfigOk);
    $('edt_http_port').addEventListener('input', function () {
        $('edt_http_port').setCustomValidity('');
    });
    installLinkedNumber('chk_auto_restart', 'edt_auto_restart');
    installLinkedNumber('chk_cpu_affinity', 'edt_cpu_affinity');
    $('btn_import_config').addEventListener('click', onImportClick);
    $('input_import_config').addEventListener('change', onImportChosen);
    $('btn_export_config').addEventListener('click', onExportClick);
}

/* ---- device pickers -----------------------------------------------------------------------
 * The channel editor opens them for a DeckLink source or target and an NDI source. Each lists what
 * the daemon's device route found, one row per entry, and writes the chosen one into the channel
 * being edited. Names come from the devices and from any host on the network: text only. */

/* Fills a picker's table: one row per text, none selected. Without texts it holds the single row
 * `message` (none when message is empty), which cannot be selected. */
function fillPickerTable(table, texts, message)
{
    var tbody = table.tBodies[0];
    while (tbody.rows.length > 0)
        tbody.deleteRow(0);
    var rows = texts.length > 0 ? texts : (message ? [message] : []);
    rows.forEach(function (text) {
        var cell = tbody.insertRow().insertCell();
        cell.appendChild(document.createTextNode(text));
        cell.title = text;
    });
    table.nEntries = texts.length;
    table.rowSelected = -1;
}

/* The row becomes the table's selected one: light blue, the one before white again. */
function selectPickerRow(table, index)
{
    var rows = table.tBodies[0].rows;
    if (table.rowSelected >= 0 && rows[table.rowSelected])
        rows[table.rowSelected].style.backgroundColor = PICKER_ROW;
    rows[index].style.backgroundColor = PICKER_ROW_SELECTED;
    table.rowSelected = index;
}

/* Calls onPick(index) for a click on one of the table's entries. */
function installPickerTable(table, onPick)
{
    fillPickerTable(table, [], '');
    table.addEventListener('click', function (e) {
        var row = e.target.closest('tr');
        if (row && row.sectionRowIndex < table.nEntries)
            onPick(row.sectionRowIndex);
    });
}

/* A search's start: the single row "Searching..." and OK off until the reply. */
function startPickerSearch(table, okId)
{
    fillPickerTable(table, [], 'Searching...');
    $(okId).disabled = true;
}

/* The list of a reply's entry (an empty one when it has none). */
function listOf(value)
{
    return Array.isArray(value) ? value : [];
}

/* The DeckLink picker, for a target (true) or a source (false). */
function popDecklinkList(is_output)
{
    var search = decklinkSearches.take();
    openPopupBox('div_decklink_config');
    startPickerSearch($('tbl_decklink_device'), 'btn_decklink_ok');
    fillPickerTable($('tbl_decklink_format'), [], '');
    is_decklink_output = Boolean(is_output);
    request('GET', '/decklink_config?output=' + (is_decklink_output ? 1 : 0), null, null, function (xhr) {
        var json = jsonReply(xhr, function (reply) {
            return Array.isArray(reply.devices);
        });
        if (!decklinkSearches.isLatest(search) || !json)
            return;
        decklink = json;
        var names = json.devices.map(function (device) {
            return textOf(getItem(device, 'name'));
        });
        fillPickerTable($('tbl_decklink_device'), names, 'No Decklink devices found');
        if (names.length > 0)
            selectDecklinkDevice(0);
        $('btn_decklink_ok').disabled = false;
    });
}

/* "1920x1080i @ 30000/1001 fps" */
function decklinkFormatText(format)
{
    return textOf(getItem(format, 'width')) + 'x' + textOf(getItem(format, 'height')) +
           (configInt(getItem(format, 'interlaced')) !== 0 ? 'i' : 'p') + ' @ ' +
           textOf(getItem(format, 'numFrame')) + '/' + textOf(getItem(format, 'denFrame')) + ' fps';
}

/* A device row selected: its formats listed, the first of them selected. */
function selectDecklinkDevice(index)
{
    selectPickerRow($('tbl_decklink_device'), index);
    var formats = listOf(getItem(decklink.devices[index], 'formats'));
    fillPickerTable($('tbl_decklink_format'), formats.map(decklinkFormatText), '');
    if (formats.length > 0)
        selectPickerRow($('tbl_decklink_format'), 0);
}

/* A mode's code as the transcoder names it: four characters, the most significant byte first. The
 * daemon writes the 32 bits as a signed number, so a code from 2^31 on arrives negative. */
function formatCodeText(code)
{
    var n = Number(code) >>> 0;
    return String.fromCharCode(n >>> 24, (n >>> 16) & 0xff, (n >>> 8) & 0xff, n & 0xff);
}

/* A rate as numerator over denominator, unrounded; 0 ("Original") when it is no rate. */
function frameRate(num, den)
{
    return num > 0 && den > 0 ? num / den : 0;
}

/* A DeckLink target plays out in the chosen mode: the device as its URL, the mode's frame size and
 * rate for the first target. */
function useDecklinkOutput(name, format)
{
    var width = configInt(getItem(format, 'width'));
    var height = configInt(getItem(format, 'height'));
    var rate = frameRate(configInt(getItem(format, 'numFrame')), configInt(getItem(format, 'denFrame')));
    $('edt_tgt_url').value = name;
    $('edt_tgt_url').title = name;
    var video = objectItem(channelTargets(curChannel)[0], 'video');
    setItem(video, 'width', width);
    setItem(video, 'height', height);
    setItem(video, 'frameRate', rate);
    if (activeTab === 0) {
        showFrameSize(width, height);
        $('edt_frame_rate').value = shownNumber(rate, 'Original');
    }
}

/* A DeckLink source captures in the chosen mode. */
function useDecklinkInput(name, format)
{
    $('edt_src_url').value = name;
    var code = Number(getItem(format, 'fmtcode'));
    if (Number.isInteger(code))
        listItem(objectItem(curChannel, 'input'), 'formatOptions').push('-format_code ' + formatCodeText(code));
}

/* OK needs a reply, a device and one of its formats; it writes them into the channel being edited. */
function onDecklinkOk()
{
    var device = decklink ? decklink.devices[$('tbl_decklink_device').rowSelected] : undefined;
    var format = listOf(getItem(device, 'formats'))[$('tbl_decklink_format').rowSelected];
    if (!isObject(format))
        return;
    var name = textOf(getItem(device, 'name'));
    if ($('tbl_channels').editing && is_decklink_output)
        useDecklinkOutput(name, format);
    else if ($('tbl_channels').editing)
        useDecklinkInput(name, format);
    show($('div_decklink_config'), false);
}

/* The NDI picker, for a source: opens and searches at once. */
function popNdiList()
{
    openPopupBox('div_ndi_config');
    searchNdi();
}

/* The search timeout in whole seconds, within what the daemon searches. */
function ndiTimeout()
{
    return Math.min(Math.max(ParseInt($('edt_ndi_timeout').value), NDI_TIMEOUT_MIN), NDI_TIMEOUT_MAX);
}

/* "name  (address)" */
function ndiSourceText(source)
{
    return textOf(getItem(source, 'name')) + '  (' + textOf(getItem(source, 'addr')) + ')';
}

/* The daemon answers nothing else while it searches; the box shows the wait cursor meanwhile. */
function searchNdi()
{
    var search = ndiSearches.take();
    var timeout = ndiTimeout();
    $('edt_ndi_timeout').value = String(timeout);
    startPickerSearch($('tbl_ndi_source'), 'btn_ndi_ok');
    $('div_ndi_config').classList.add('busy');
    request('GET', '/ndi_config?timeout=' + encodeURIComponent(timeout), null, null, function (xhr) {
        if (!ndiSearches.isLatest(search))
            return;
        $('div_ndi_config').classList.remove('busy');
        var json = jsonReply(xhr, function (reply) {
            return Array.isArray(reply.sources);
        });
        if (!json)
            return;
        ndi = json;
        fillPickerTable($('tbl_ndi_source'), json.sources.map(ndiSourceText), 'No NDI sources found');
        if (json.sources.length > 0)
            selectPickerRow($('tbl_ndi_source'), 0);
        $('btn_ndi_ok').disabled = false;
    });
}

/* OK needs a reply and a source: its name becomes the source URL, and the transcoder waits for it
 * as long as the search did. */
function onNdiOk()
{
    var source = ndi ? ndi.sources[$('tbl_ndi_source').rowSelected] : undefined;
    if (!isObject(source))
        return;
    if ($('tbl_channels').editing) {
        $('edt_src_url').value = textOf(getItem(source, 'name'));
        listItem(objectItem(curChannel, 'input'), 'formatOptions').push('-wait_sources ' + ndiTimeout());
    }
    show($('div_ndi_config'), false);
}

function installPickers()
{
    installPickerTable($('tbl_decklink_device'), selectDecklinkDevice);
    installPickerTable($('tbl_decklink_format'), function (index) {
        selectPickerRow($('tbl_decklink_format'), index);
    });
    installPickerTable($('tbl_ndi_source'), function (index) {
        selectPickerRow($('tbl_ndi_source'), index);
    });
    $('btn_decklink_ok').addEventListener('click', onDecklinkOk);
    $('btn_ndi_search').addEventListener('click', searchNdi);
    $('btn_ndi_ok').addEventListener('click', onNdiOk);
}

window.addEventListener('load', init);
