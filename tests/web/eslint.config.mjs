/* eslint.config.mjs -- the JavaScript lint of the page's script (web/main.js) and of its browser
 * tests, run by scripts/test.sh from the repository's root: no undefined or unused names, "===" and
 * "!==" only, no name declared twice in a scope. A finding fails the step.
 *
 * The functions that a test hands to the page (page.evaluate, waitForFunction, $eval, ...) run in
 * the browser: there the browser and the page's script define the names, and nothing of the test
 * file around them does. A processor lints each of them as a block of its own, with the browser's
 * globals and the names that web/main.js declares at its top level, and the test file without them
 * with node's globals. Each block keeps the file's length and line breaks, so a finding's line and
 * column are those of the file itself. */
import fs from 'node:fs';
import * as espree from 'espree';
import globals from 'globals';

const RULES = {
    'no-undef': 'error',
    'no-unused-vars': 'error',
    'eqeqeq': ['error', 'always'],
    'no-redeclare': 'error',
};

const PARSE = {ecmaVersion: 'latest', range: true, tokens: true};

/* The calls whose function argument runs in the page, by the argument's position. */
const PAGE_CALLS = {evaluate: 0, evaluateHandle: 0, waitForFunction: 0, addInitScript: 0, $eval: 1, $$eval: 1};

/* The names that the page's script declares at its top level (a classic script: they are the
 * window's). */
function pageNames()
{
    const file = new URL('../../web/main.js', import.meta.url);
    const program = espree.parse(fs.readFileSync(file, 'utf8'), {...PARSE, sourceType: 'script'});
    const names = {};
    for (const statement of program.body) {
        if (statement.type === 'FunctionDeclaration')
            names[statement.id.name] = 'writable';
        else if (statement.type === 'VariableDeclaration')
            statement.declarations.forEach((d) => { if (d.id.type === 'Identifier') names[d.id.name] = 'writable'; });
    }
    return names;
}

/* The function arguments of page calls, outermost only, as [start, end) ranges. */
function pageFunctions(node, found)
{
    if (!node || typeof node.type !== 'string')
        return found;
    if (node.type === 'CallExpression' && node.callee.type === 'MemberExpression' && !node.callee.computed &&
        node.callee.property.type === 'Identifier' && Object.hasOwn(PAGE_CALLS, node.callee.property.name)) {
        const arg = node.arguments[PAGE_CALLS[node.callee.property.name]];
        if (arg && (arg.type === 'ArrowFunctionExpression' || arg.type === 'FunctionExpression'))
            found.push(arg.range);
    }
    for (const key of Object.keys(node)) {
        if (key === 'parent')
            continue;
        const value = node[key];
        if (Array.isArray(value))
            value.forEach((child) => pageFunctions(child, found));
        else if (value && typeof value === 'object')
            pageFunctions(value, found);
    }
    return found;
}

/* The text with [start, end) blanked: every character but a line break becomes a space. */
function blank(text, start, end)
{
    return text.slice(0, start) + text.slice(start, end).replace(/[^\r\n]/g, ' ') + text.slice(end);
}

function put(text, at, c)
{
    return text.slice(0, at) + c + text.slice(at + 1);
}

const pageProcessor = {
    meta: {name: 'page-functions'},
    supportsAutofix: false,
    preprocess(text) {
        let ast;
        try {
            ast = espree.parse(text, {...PARSE, sourceType: 'module'});
        } catch {
            return [text]; /* the lint reports the syntax error itself */
        }
        const ranges = pageFunctions(ast, []).filter((r, i, all) =>
            !all.some((o, j) => j !== i && o[0] <= r[0] && r[1] <= o[1]));
        let outside = text;
        const blocks = ranges.map(([start, end]) => {
            /* In the test file's own block the function is a 0, in its own block it stands alone,
             * in parentheses where the punctuators around it were ("(" or "," before, "," or ")"
             * after), so that a function expression is not taken for a declaration. */
            outside = put(blank(outside, start, end), start, '0');
            const before = ast.tokens.findLast((t) => t.range[1] <= start);
            const after = ast.tokens.find((t) => t.range[0] >= end);
            let own = blank(blank(text, 0, start), end, text.length);
            own = put(put(own, before.range[0], '('), after.range[0], ')');
            return {text: own, filename: 'page.js'};
        });
        return [outside, ...blocks];
    },
    postprocess(messages) {
        return messages.flat();
    },
};

export default [
    {
        /* The page's script is written in ES5 syntax, so that an older browser can still parse it:
         * newer syntax is a finding here (the lint checks syntax, not which library calls a browser
         * has). ES5 has no catch without a name, so an unused caught error is no finding. */
        files: ['web/main.js'],
        languageOptions: {ecmaVersion: 5, sourceType: 'script', globals: {...globals.browser}},
        rules: {...RULES, 'no-unused-vars': ['error', {caughtErrors: 'none'}]},
    },
    {
        files: ['tests/web/**/*.mjs'],
        processor: pageProcessor,
        languageOptions: {ecmaVersion: 'latest', sourceType: 'module', globals: {...globals.node}},
        rules: RULES,
    },
    {
        files: ['tests/web/**/*.mjs/*_page.js'],
        languageOptions: {ecmaVersion: 'latest', sourceType: 'script', globals: {...globals.browser, ...pageNames()}},
        rules: RULES,
    },
];
