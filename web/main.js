/* main.js -- the management page's script: reads the daemon's runtime facts and configuration once,
 * polls the channel states and processor loads every second, and drives the channel table, the
 * channel buttons, the preview player and the pop-up boxes.
 *
 * The page keeps the whole configuration as one model (jsonConfig), edits it in place and posts it
 * whole; functions named update* fill controls from the model, apply* write them back. Every text
 * that comes from the daemon (URLs, memos, status texts, reasons) is inserted as text, never as
 * markup. A reply counts only when it ended with status 200 and holds what was asked for: with a
 * password set, a stale cookie gets the login page (a 200 HTML reply) in place of any data. */
'use strict';

var jsonRuntime = null;   /* the "/runtime" reply */
var jsonConfig = null;    /* the configuration model */
var channelStatus = [];   /* the last "/status" reply's "channels" */
var curChannel = null;    /* the channel that the editor shows */

/* The row whose preview this page's player shows (0: none, or a channel's own MP4 stream, which
 * needs no stop), so that closing the player stops that channel whichever row is selected then. */
var previewRow = 0;

var STATES = ['idle', 'running', 'preview', 'stopping'];
var STRIPE_SELECTED = '#3c5a8c';
var POPUP_BOXES = ['div_global_config', 'div_decklink_config', 'div_ndi_config', 'div_adv_fmt',
                   'div_adv_video'];
var STATUS_PERIOD_MS = 1000;
var CPU_CELLS_PER_ROW = 16;
var MAX_ROWS = 1024;       /* a sane bound on "channels" of the runtime reply */
var MAX_CPUS = 1024;       /* the same for the processor list of a status reply */

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

/* The model's channels (an empty list before the configuration arrived). */
function modelChannels()
{
    var channels = getItem(jsonConfig, 'channels');
    return Array.isArray(channels) ? channels : [];
}

/* ---- requests ------------------------------------------------------------------------------ */

/* Sends an asynchronous request; onReply gets the finished request (status 0 when it failed). */
function request(method, url, body, contentType, onReply)
{
    var xhr = new XMLHttpRequest();
    xhr.open(method, url, true);
    if (contentType)
        xhr.setRequestHeader('Content-Type', contentType);
    xhr.onreadystatechange = function () {
        if (xhr.readyState === 4 && onReply)
            onReply(xhr);
    };
    xhr.send(body);
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

/* ---- start-up ------------------------------------------------------------------------------ */

function init()
{
    request('GET', '/runtime', null, null, onRuntime);
    setInterval(updateChannelStatus, STATUS_PERIOD_MS);
    document.addEventListener('keydown', onKeyDown);
    installChannelTable();
    installButtons();
    installPopupBoxes();
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

    var channels = modelChannels();
    var tbody = $('tbl_channels').tBodies[0];
    for (var i = 0; i < channels.length && i < tbody.rows.length; i++)
        updateChannelRow(i + 1, channels[i]);

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
}

/* Warns of a web interface without a password, and of HTTPS asked for but not running. */
function updateBanner()
{
    var global = getItem(jsonConfig, 'global');
    var pass = getItem(global, 'loginPass');
    if (typeof pass !== 'string' || pass === '') {
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

function firstItem(list)
{
    return Array.isArray(list) && list.length > 0 ? list[0] : undefined;
}

/* The first target's format of a channel, in lower case. */
function firstTargetFormat(channel)
{
    var target = firstItem(getItem(getItem(channel, 'output'), 'targets'));
    return textOf(getItem(target, 'format')).toLowerCase();
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
}

function selectRow(row)
{
    var tbl = $('tbl_channels');
    var rowId = row.sectionRowIndex + 1;
    if (tbl.editing || rowId === tbl.rowSelected || !rowHoldsChannel(row))
        return;
    var previous = channelRow(tbl.rowSelected);
    if (previous)
        previous.style.backgroundColor = '';
    row.style.backgroundColor = STRIPE_SELECTED;
    tbl.rowSelected = rowId;
    updateSettings(rowId);
}

/* Shows a channel in the editor: the given working copy, or the model's channel of the row. */
function updateSettings(rowId, channel)
{
    curChannel = channel || modelChannels()[rowId - 1] || null;
    if (channelStatus[rowId - 1])
        updatePreviewButton();
    var sources = getItem(getItem(curChannel, 'input'), 'sources');
    var targets = getItem(getItem(curChannel, 'output'), 'targets');
    if (!firstItem(sources) || !firstItem(targets))
        return;
    updateChannelRow(rowId, curChannel);
    $('sel_tgt_fmt').value = firstTargetFormat(curChannel);
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

function updateChannelStatus()
{
    request('GET', '/status', null, null, function (xhr) {
        var json = jsonReply(xhr, isStatusReply);
        if (!json)
            return;
        channelStatus = json.channels;
        for (var i = 0; i < channelStatus.length; i++) {
            var entry = channelStatus[i];
            if (isObject(entry))
                setRowState(i + 1, entry.state, textOf(entry.status));
        }
        updatePreviewButton();
        updateCpuTable(json.cpu);
    });
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
    $('btn_global_config').addEventListener('click', function () {
        openPopupBox('div_global_config');
    });
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

function setChannelEnable(rowId, bEnable)
{
    var channel = modelChannels()[rowId - 1];
    if (isObject(channel))
        setItem(channel, 'enable', bEnable);
}

function startChannel(rowId, bReportFailure)
{
    request('GET', '/channel' + rowId + '?start', null, null, function (xhr) {
        if (actionDone(xhr))
            markRowState(rowId, 'running', 'RUNNING');
        else if (bReportFailure && xhr.status !== 200)
            alert('Channel start error! ' + xhr.responseText);
    });
    setChannelEnable(rowId, true);
}

function stopChannel(rowId)
{
    request('GET', '/channel' + rowId + '?stop', null, null, null);
    setChannelEnable(rowId, false);
}

function onStartClick()
{
    var rowId = selectedChannel();
    if (!rowId) {
        alert('Please select channel first.');
        return;
    }
    var state = lastState(rowId);
    if (state !== null && state !== 'idle')
        return;
    startChannel(rowId, true);
}

function onStartAll()
{
    var channels = modelChannels();
    for (var rowId = 1; rowId <= channels.length; rowId++) {
        var state = lastState(rowId);
        if (state === null || state === 'idle')
            startChannel(rowId, false);
    }
}

function onStopClick()
{
    var rowId = selectedChannel();
    if (!rowId) {
        alert('Please select channel first.');
        return;
    }
    /* The preview that this page's player shows is stopped by closing the player; any other
     * channel, a preview started elsewhere included, gets a stop request. */
    if (lastState(rowId) === 'preview' && previewRow === rowId && isShown($('vid_preview'))) {
        onPreviewClick();
        return;
    }
    stopChannel(rowId);
}

function onStopAll()
{
    var channels = modelChannels();
    for (var rowId = 1; rowId <= channels.length; rowId++) {
        var state = lastState(rowId);
        if (state === null || state !== 'idle')
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
    var playing = player.play();
    if (playing && playing.catch)
        playing.catch(function () {});
    setNodeText($('btn_preview'), 'Stop');
    updatePreviewButton();
}

function closePlayer()
{
    var player = $('vid_preview');
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
        request('GET', '/channel' + rowId + '?preview', null, null, function (xhr) {
            if (!actionDone(xhr))
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
    if ($('tbl_channels').editing && $('btn_cancel'))
        $('btn_cancel').click();
}

window.addEventListener('load', init);
