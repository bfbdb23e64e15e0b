/* harness.mjs -- what the browser tests share: the real daemon in the test's own namespace (asked
 * of the launcher ruxo_ns_run over its control socket), configurations for it, Debian's chromium
 * driven by playwright-core, pages that record their errors, requests and dialogs, waits for page
 * states, and screenshots kept in the test output folder.
 *
 * A test file runs only under the launcher (ctest starts it so): outside it, $RUXO_CTL is unset
 * and the helpers refuse, since the daemon's fixed folders would be the host's. */
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { before, after } from 'node:test';
import { chromium } from 'playwright-core';

export const PORT = 8888;
export const BASE = `http://127.0.0.1:${PORT}`;
export const CONFIG_FILE = '/etc/ruxod/ruxod.json';
export const OUT_DIR = process.env.RUXO_WEB_OUT || path.resolve('web-test-output');

/* The running text of a channel: "00:00:07   25fps@134Kbps". */
export const RUNNING_TEXT = /^\d\d:\d\d:\d\d {3}\d+fps@\d+Kbps$/;

/* Generous: the machine is shared with other builds and tests. */
export const WAIT_MS = 20000;

/* ---- the launcher's control socket ---------------------------------------------------------- */

let s_socket = null;
let s_buffer = '';
const s_waiting = [];

function connect()
{
    if (s_socket)
        return Promise.resolve();
    if (!process.env.RUXO_CTL)
        return Promise.reject(new Error('not under ruxo_ns_run: run the browser tests through ctest'));
    return new Promise((resolve, reject) => {
        const socket = net.createConnection(process.env.RUXO_CTL);
        socket.setEncoding('utf8');
        socket.once('connect', () => {
            s_socket = socket;
            socket.unref();
            resolve();
        });
        socket.once('error', reject);
        socket.on('data', (chunk) => {
            s_buffer += chunk;
            let nEnd;
            while ((nEnd = s_buffer.indexOf('\n')) >= 0) {
                const line = s_buffer.slice(0, nEnd);
                s_buffer = s_buffer.slice(nEnd + 1);
                const waiter = s_waiting.shift();
                if (waiter)
                    waiter(JSON.parse(line));
            }
        });
    });
}

async function control(cmd)
{
    await connect();
    s_socket.ref();
    const reply = await new Promise((resolve) => {
        s_waiting.push(resolve);
        s_socket.write(JSON.stringify(cmd) + '\n');
    });
    s_socket.unref();
    return reply;
}

/* ---- the daemon ----------------------------------------------------------------------------- */

export class Daemon {
    /* A fresh sandbox (the previous one's daemon and transcoders end): empty /etc, /var, /run. */
    static async create(transcoder = 'fake')
    {
        const reply = await control({cmd: 'sandbox', transcoder});
        if (!reply.ok)
            throw new Error('sandbox: ' + reply.error);
        return new Daemon(reply.dir, reply.bin);
    }

    constructor(dir, bin)
    {
        this.dir = dir;
        this.bin = bin;
    }

    /* Writes the configuration (an object, or a text written as it stands) and starts the daemon;
     * resolves once its web server listens. */
    async start(configuration, {port = PORT, env = {}} = {})
    {
        const text = typeof configuration === 'string' ? configuration : JSON.stringify(configuration, null, 2);
        const file = path.join(this.dir, 'config.in');
        fs.writeFileSync(file, text);
        let reply = await control({cmd: 'config', file});
        if (!reply.ok)
            throw new Error('config: ' + reply.error);
        reply = await control({cmd: 'start', port, env});
        if (!reply.ok)
            throw new Error('start: ' + reply.error + '\n' + (reply.output || ''));
        this.pid = reply.pid;
    }

    /* Ends the daemon in order; resolves with its exit status and output. */
    async stop()
    {
        const reply = await control({cmd: 'stop'});
        if (!reply.ok)
            throw new Error('stop: ' + reply.error);
        return reply;
    }

    async output()
    {
        return (await control({cmd: 'output'})).output || '';
    }

    /* A file or folder inside the sandbox's own folder (outside the daemon's fixed folders). */
    file(name)
    {
        return path.join(this.dir, name);
    }

    /* Puts the tests' fake DeckLink and NDI libraries beside the daemon, where it looks first; the
     * environment of start() (RUXO_FAKE_DECKLINK, RUXO_FAKE_NDI, RUXO_FAKE_LOG) scripts them. */
    installFakeDevices()
    {
        const fakes = [[process.env.RUXO_FAKE_DECKLINK_LIB, 'libDeckLinkAPI.so'],
                       [process.env.RUXO_FAKE_NDI_LIB, 'libndi.so.5']];
        for (const [file, name] of fakes) {
            if (!file)
                throw new Error('the fake device libraries are not named (RUXO_FAKE_DECKLINK_LIB, RUXO_FAKE_NDI_LIB)');
            fs.copyFileSync(file, path.join(this.bin, name));
            fs.chmodSync(path.join(this.bin, name), 0o755);
        }
    }
}

/* Stops the daemon and checks that it ended in order, without a sanitizer's report. */
export async function stopInOrder(daemon)
{
    const end = await daemon.stop();
    assert.equal(end.status, 0, end.output);
    assert.doesNotMatch(end.output, /Sanitizer/);
    return end;
}

/* Registers a test file's set-up and clean-up: one browser and, when makeConfiguration is given, a
 * fresh sandbox whose daemon starts with the configuration that makeConfiguration(daemon) returns
 * (it may first put files into daemon.dir). At the end the daemon must stop in order. Returns the
 * object that holds "browser" and "daemon" once the set-up ran. */
export function suite(makeConfiguration)
{
    const state = {browser: null, daemon: null};
    before(async () => {
        if (makeConfiguration) {
            state.daemon = await Daemon.create();
            await state.daemon.start(makeConfiguration(state.daemon));
        }
        state.browser = await launchBrowser();
    });
    after(async () => {
        if (state.browser)
            await state.browser.close();
        if (state.daemon)
            await stopInOrder(state.daemon);
    });
    return state;
}

/* Runs body(daemon) against a daemon of its own, started with the configuration, and stops that
 * daemon in order afterwards. For tests that change what the daemon keeps. prepare(daemon), when
 * given, runs before the start and returns the start's options (its environment, for instance). */
export async function withDaemon(configuration, body, transcoder = 'fake', prepare = null)
{
    const daemon = await Daemon.create(transcoder);
    await daemon.start(configuration, prepare ? prepare(daemon) : {});
    try {
        await body(daemon);
    } finally {
        await stopInOrder(daemon);
    }
}

/* The configuration file as the daemon saved it. */
export function savedConfig()
{
    return fs.readFileSync(CONFIG_FILE, 'utf8');
}

/* Runs body() while the daemon cannot save its configuration (a folder stands where the file
 * should be), then puts the file back as it was. */
export async function whileConfigUnwritable(body)
{
    const text = savedConfig();
    fs.rmSync(CONFIG_FILE);
    fs.mkdirSync(CONFIG_FILE);
    try {
        await body(text);
    } finally {
        fs.rmdirSync(CONFIG_FILE);
        fs.writeFileSync(CONFIG_FILE, text);
    }
}

/* The saved configuration file, once check(configuration) holds for it. */
export async function waitSavedConfig(check, what)
{
    let json = {};
    await waitUntil(() => {
        try {
            json = JSON.parse(savedConfig());
        } catch {
            return false;   /* caught in the middle of a write */
        }
        return check(json);
    }, what);
    return json;
}

/* The channels of the saved configuration file, once check(channels) holds for them. */
export async function waitSavedChannels(check, what)
{
    const json = await waitSavedConfig((saved) => check(saved.channels || []), what);
    return json.channels || [];
}

/* One channel for the scripted fake transcoder ("mode" is its run mode). */
export function channel({url = '/media/in.mp4', memo = '', enable = false, mode = 'run',
                         format = 'udp', targetUrl = 'udp://127.0.0.1:1234'} = {})
{
    return {
        enable,
        memo,
        input: {sources: [{format: 'file', url}]},
        output: {
            customOptions: 'fake:' + mode,
            targets: [{format, url: targetUrl, video: {enable: true, codec: 'h264'},
                       audio: {enable: true, codec: 'aac'}}],
        },
    };
}

export function configuration({channels = [], loginPass = '', global = {}} = {})
{
    return {
        global: Object.assign({log: 0, httpPort: PORT, autoRestart: 0, loginPass}, global),
        channels,
    };
}

/* A request to the daemon from the test itself (not the browser). */
export async function daemonFetch(pathAndQuery, {cookie = '', method = 'GET', body} = {})
{
    const headers = {};
    if (cookie)
        headers.Cookie = cookie;
    if (body !== undefined)
        headers['Content-Type'] = 'application/json';
    return fetch(BASE + pathAndQuery, {method, headers, body, redirect: 'manual'});
}

/* ---- the browser ---------------------------------------------------------------------------- */

export async function launchBrowser()
{
    /* launch() gives every browser a fresh profile folder of its own (--user-data-dir). */
    return chromium.launch({
        executablePath: '/usr/bin/chromium',
        headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
}

/* A page in a context of its own, recording console errors and uncaught exceptions, every request
 * (the URLs of posts also in "posts") and every dialog. A dialog is dismissed, so a test never
 * hangs on one, and a confirmation declined, unless the test set log.acceptConfirm. Nothing is
 * loaded yet. */
export async function newPage(browser, {viewport = {width: 1100, height: 900}} = {})
{
    const context = await browser.newContext({viewport});
    const page = await context.newPage();
    const log = {errors: [], requests: [], posts: [], dialogs: [], acceptConfirm: false};
    page.on('console', (msg) => {
        if (msg.type() === 'error')
            log.errors.push(msg.text());
    });
    page.on('pageerror', (err) => log.errors.push(String(err)));
    context.on('request', (req) => {
        log.requests.push(req.url());
        if (req.method() === 'POST')
            log.posts.push(req.url());
    });
    page.on('dialog', (dialog) => {
        log.dialogs.push(dialog.message());
        const answer = dialog.type() === 'confirm' && log.acceptConfirm ? dialog.accept() : dialog.dismiss();
        answer.catch(() => {});
    });
    return {context, page, log};
}

/* Loads the page and waits until its table has its rows and its first status has arrived. */
export async function openManager(page, pathAndQuery = '/')
{
    await page.goto(BASE + pathAndQuery);
    await page.waitForFunction(() => document.querySelectorAll('#tbl_channels tbody tr').length > 0 &&
                                     document.querySelectorAll('#tbl_cpu td').length > 0,
                               null, {timeout: WAIT_MS});
}

/* ---- page states ---------------------------------------------------------------------------- */

/* The text of a channel table cell (row counts from 1; columns 0 to 3). */
export async function cellText(page, row, column)
{
    return page.evaluate(([r, c]) => {
        const tr = document.querySelector('#tbl_channels tbody').rows[r - 1];
        return tr ? tr.cells[c].textContent : null;
    }, [row, column]);
}

/* Waits until the cell's whole text matches the pattern; resolves with that text. */
export async function waitCell(page, row, column, pattern)
{
    const handle = await page.waitForFunction(([r, c, source, flags]) => {
        const tr = document.querySelector('#tbl_channels tbody').rows[r - 1];
        const text = tr ? tr.cells[c].textContent : '';
        return new RegExp(source, flags).test(text) ? text : null;
    }, [row, column, pattern.source, pattern.flags], {timeout: WAIT_MS});
    return handle.jsonValue();
}

/* The status cell's state icon, as the file name in its background image. */
export async function stateIcon(page, row)
{
    return page.evaluate((r) => {
        const cell = document.querySelector('#tbl_channels tbody').rows[r - 1].cells[3];
        const match = /([a-z]+\.png)/.exec(cell.style.backgroundImage);
        return match ? match[1] : '';
    }, row);
}

/* Waits for a condition of the test's own (polled every 50 ms). */
export async function waitUntil(condition, what, timeoutMs = WAIT_MS)
{
    const end = Date.now() + timeoutMs;
    for (;;) {
        if (await condition())
            return;
        if (Date.now() > end)
            throw new Error('timed out waiting for ' + what);
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
}

/* The states of the daemon's status reply, asked by the test itself. */
export async function daemonStates(cookie = '')
{
    const reply = await daemonFetch('/status', {cookie});
    const json = JSON.parse(await reply.text());
    return json.channels.map((entry) => entry.state);
}

export async function waitDaemonState(index, state, cookie = '')
{
    await waitUntil(async () => (await daemonStates(cookie))[index] === state,
                    `channel ${index + 1} ${state}`);
}

/* Requests the page made whose path and query match the pattern. */
export function requestsMatching(log, pattern)
{
    return log.requests.filter((url) => pattern.test(url.replace(BASE, '')));
}

/* Clicks a row of the channel table and waits until it is the selected one. */
export async function selectRow(page, row)
{
    await page.click(`#tbl_channels tbody tr:nth-child(${row}) td:nth-child(2)`);
    await page.waitForFunction((r) => document.getElementById('tbl_channels').rowSelected === r, row,
                               {timeout: WAIT_MS});
}

/* The values of page fields by id: the state of check boxes and radio buttons, else the value. */
export async function fieldValues(page, ids)
{
    return page.evaluate((list) => Object.fromEntries(list.map((id) => {
        const el = document.getElementById(id);
        return [id, el.type === 'checkbox' || el.type === 'radio' ? el.checked : el.value];
    })), ids);
}

/* The row being edited (0: none). */
export async function editingRow(page)
{
    return page.evaluate(() => document.getElementById('tbl_channels').editing);
}

/* Selects a row and edits its channel (the Edit button); resolves once edit mode is on. */
export async function editRow(page, row)
{
    await selectRow(page, row);
    await page.click('#btn_edit');
    await page.waitForFunction((r) => document.getElementById('tbl_channels').editing === r, row,
                               {timeout: WAIT_MS});
}

/* Hovers a drop-down mark and clicks its menu item, as a user would. */
export async function clickMenuItem(page, buttonId, itemId)
{
    await page.hover(`#${buttonId} .dropdown_mark`);
    await page.waitForSelector(`#${itemId}`, {state: 'visible', timeout: WAIT_MS});
    await page.click(`#${itemId}`);
}

/* ---- output --------------------------------------------------------------------------------- */

export async function screenshot(page, name)
{
    fs.mkdirSync(OUT_DIR, {recursive: true});
    const file = path.join(OUT_DIR, name + '.png');
    await page.screenshot({path: file, fullPage: true});
    return file;
}
