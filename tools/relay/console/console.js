// snpp-relay's console: the pages that need a human first, recent pages with each recipient's
// state, the gateways' health and the queue, from the relay's own API.
//
// Every text that comes from the relay (a message, a pager id, a gateway's reply) goes into the
// page with textContent, never parsed as HTML; the page's Content-Security-Policy enforces it
// too (Trusted Types: any HTML sink throws). The API token is typed once and kept in this tab's
// sessionStorage; it leaves only in the Authorization header of requests to this relay, never
// in a URL, and a token found in the address bar is dropped unread.
'use strict';

const TOKEN_KEY = 'snpp-relay-token';
const REFRESH_MS = 15000;
const PAGE_ID = /^[0-9a-f]{1,64}$/;
const RECENT_LIMIT = 20;

const $ = (id) => document.getElementById(id);

// An element with text children only: strings become text nodes, never markup.
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (key === 'text') node.textContent = value;
    else if (key === 'className') node.className = value;
    else if (key === 'onclick') node.addEventListener('click', value);
    else node.setAttribute(key, value);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(typeof child === 'string' ? document.createTextNode(child) : child);
  }
  return node;
}

// A value from the relay as it is shown: control characters (but TAB and line breaks) written
// "\x1b", as snpp-send and the CLI show them, so that a gateway's reply cannot hide its text.
function str(value) {
  const text = typeof value === 'string' ? value : value === undefined || value === null ? '' : String(value);
  return text.replace(/[\x00-\x08\x0b-\x1f\x7f-\x9f]/g,
    (c) => '\\x' + c.charCodeAt(0).toString(16).padStart(2, '0'));
}

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// One call to the relay's API with the tab's token. 401 and 403 forget the token and ask again.
async function api(method, path, body) {
  const token = sessionStorage.getItem(TOKEN_KEY);
  if (!token) throw new ApiError(401, 'no token');
  const init = {
    method,
    headers: { Authorization: 'Bearer ' + token },
    cache: 'no-store',
    credentials: 'omit',
    redirect: 'error',
  };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, 'the relay did not answer (' + e.message + '); is it running?');
  }
  let data = null;
  try {
    data = await response.json();
  } catch (e) {
    data = null;
  }
  const said = data && typeof data.error === 'string' ? data.error : 'HTTP ' + response.status;
  if (response.status === 401 || response.status === 403) {
    signOut(said);
    throw new ApiError(response.status, said);
  }
  if (!response.ok) throw new ApiError(response.status, said);
  if (data === null || typeof data !== 'object') {
    throw new ApiError(response.status, 'the relay answered something other than JSON');
  }
  return data;
}

function say(id, text, problem) {
  const node = $(id);
  node.textContent = text;
  node.classList.toggle('problem', Boolean(problem));
}

// What a section says when its endpoint fails; a 404 from an older relay is no emergency.
function failed(id, what, error) {
  if (error.status === 401 || error.status === 403) return;
  if (error.status === 404) {
    say(id, 'This relay cannot ' + what + ' (it answered: ' + error.message + ').', false);
  } else {
    say(id, 'Could not ' + what + ': ' + error.message, true);
  }
}

function stateChip(state) {
  return el('span', { className: 'state state-' + str(state).replace(/[^a-z]/g, ''), text: str(state) });
}

function pageText(page) {
  const text = page.data !== undefined ? str(page.data) : str(page.message);
  return page.subject ? '[' + str(page.subject) + '] ' + text : text;
}

function recipientsTable(page) {
  const rows = (Array.isArray(page.recipients) ? page.recipients : []).map((r) =>
    el('tr', {},
      el('td', { className: 'id', text: str(r.pager) }),
      el('td', {}, stateChip(r.state)),
      el('td', { text: str(r.attempts) }),
      el('td', { text: str(r.gateway) }),
      el('td', { text: str(r.updated) }),
      el('td', { className: 'text', text: str(r.lastReply) + (r.nextAttempt ? ' (next attempt ' + str(r.nextAttempt) + ')' : '') }),
      el('td', { className: 'text', text: str(r.note) })));
  return el('table', { className: 'recipients' },
    el('thead', {}, el('tr', {}, ...['pager', 'state', 'attempts', 'gateway', 'updated', 'last reply', 'note']
      .map((h) => el('th', { text: h })))),
    el('tbody', {}, ...rows));
}

function pageCard(page) {
  return el('div', { className: 'page', 'data-page': str(page.id) },
    el('div', { className: 'meta' },
      el('span', { className: 'id', text: str(page.id) }),
      ' · created ' + str(page.created) + ' · from ' + str(page.source) + ' · expires ' + str(page.expires)),
    el('div', { className: 'body', text: pageText(page) }),
    recipientsTable(page));
}

// A pager id the browser cannot put in a URL path as it is: "." and ".." are path steps.
function addressable(pager) {
  return pager !== '.' && pager !== '..';
}

async function act(page, pager, action, note) {
  const path = '/v1/pages/' + encodeURIComponent(page) + '/recipients/' + encodeURIComponent(pager) + '/' + action;
  say('uncertain-action', (action === 'resend' ? 'Resending ' : 'Dismissing ') + pager + ' of page ' + page + '…');
  try {
    await api('POST', path, action === 'dismiss' && note ? { note } : {});
    say('uncertain-action', (action === 'resend' ? 'Queued again: ' : 'Dismissed: ') + pager + ' of page ' + page + '.');
  } catch (e) {
    if (e.status !== 401 && e.status !== 403) {
      say('uncertain-action', 'Could not ' + action + ' ' + pager + ' of page ' + page + ': ' + e.message, true);
    }
  }
  // A refresh already under way may have read the state before the change: wait it out first.
  await refreshing;
  await refresh();
}

function uncertainRow(page, recipient) {
  const pager = str(recipient.pager);
  const note = el('input', { type: 'text', 'aria-label': 'note', placeholder: 'note (optional)' });
  const actions = el('td', {});
  if (addressable(pager)) {
    actions.append(
      el('button', { type: 'button', className: 'resend', title: 'Queue it again: the pager may get it twice',
        text: 'Resend', onclick: () => act(str(page.id), pager, 'resend') }),
      ' ',
      el('button', { type: 'button', className: 'dismiss', title: 'It arrived, or no longer matters',
        text: 'Dismiss', onclick: () => act(str(page.id), pager, 'dismiss', note.value.trim()) }));
  } else {
    actions.append('use snpp-relay pages resend|dismiss');
  }
  return el('tr', { 'data-page': str(page.id), 'data-pager': pager },
    el('td', { className: 'id', text: str(page.id) }),
    el('td', { text: str(page.created) }),
    el('td', { className: 'text', text: pageText(page) }),
    el('td', { className: 'id', text: pager }),
    el('td', { text: str(recipient.attempts) }),
    el('td', { text: str(recipient.gateway) }),
    el('td', { className: 'text', text: str(recipient.lastReply) }),
    el('td', {}, addressable(pager) ? note : null),
    actions);
}

async function loadUncertain() {
  const body = $('uncertain-table').tBodies[0];
  try {
    const data = await api('GET', '/v1/pages?state=uncertain&limit=100');
    const rows = [];
    for (const page of Array.isArray(data.pages) ? data.pages : []) {
      for (const r of Array.isArray(page.recipients) ? page.recipients : []) {
        if (r.state === 'uncertain') rows.push(uncertainRow(page, r));
      }
    }
    body.replaceChildren(...rows);
    $('uncertain-table').hidden = rows.length === 0;
    say('uncertain-status', rows.length ? '' : 'No uncertain page: nothing waits for you.');
  } catch (e) {
    body.replaceChildren();
    $('uncertain-table').hidden = true;
    failed('uncertain-status', 'list uncertain pages yet; find a page by its id below', e);
  }
}

let recentCursor = null;

async function loadRecent(more) {
  const list = $('recent-list');
  let path = '/v1/pages?limit=' + RECENT_LIMIT;
  if (more && recentCursor) path += '&cursor=' + encodeURIComponent(recentCursor);
  try {
    const data = await api('GET', path);
    const cards = (Array.isArray(data.pages) ? data.pages : []).map(pageCard);
    if (more) list.append(...cards);
    else list.replaceChildren(...cards);
    recentCursor = typeof data.next === 'string' && data.next ? data.next : null;
    $('recent-more').hidden = recentCursor === null;
    say('recent-status', list.childElementCount ? '' : 'No page yet.');
  } catch (e) {
    if (!more) list.replaceChildren();
    $('recent-more').hidden = true;
    failed('recent-status', 'list its pages yet; find a page by its id above', e);
  }
}

let lookedUp = null;

async function lookup(id) {
  const result = $('lookup-result');
  if (!PAGE_ID.test(id)) {
    lookedUp = null;
    result.replaceChildren();
    say('lookup-status', 'A page id is 1 to 64 characters 0-9 and a-f, as POST /v1/pages answered.', true);
    return;
  }
  lookedUp = id;
  try {
    const page = await api('GET', '/v1/pages/' + id);
    if (lookedUp !== id) return;
    result.replaceChildren(pageCard(page));
    say('lookup-status', '');
  } catch (e) {
    if (lookedUp !== id) return;
    result.replaceChildren();
    if (e.status === 404) say('lookup-status', e.message, true);
    else failed('lookup-status', 'show the page', e);
  }
}

async function loadGateways() {
  const body = $('gateways-table').tBodies[0];
  try {
    const data = await api('GET', '/v1/gateways');
    const rows = (Array.isArray(data.gateways) ? data.gateways : []).map((g) =>
      el('tr', { 'data-gateway': str(g.name) },
        el('td', { text: str(g.name) }),
        el('td', { className: 'id', text: str(g.server) }),
        el('td', { className: g.up ? 'up' : 'down', text: g.up ? 'up' : 'down' }),
        el('td', { text: g.lastSuccess ? str(g.lastSuccess) : 'never' }),
        el('td', { className: 'text', text: str(g.lastError) + (g.lastErrorAt ? ' (' + str(g.lastErrorAt) + ')' : '') }),
        el('td', { text: str(g.sessionsOpen) + (g.concurrency !== undefined ? ' of ' + str(g.concurrency) : '') }),
        el('td', { text: str(g.holdOffUntil) })));
    body.replaceChildren(...rows);
    $('gateways-table').hidden = rows.length === 0;
    say('gateways-status', rows.length ? '' : 'The relay has no gateway.');
  } catch (e) {
    body.replaceChildren();
    $('gateways-table').hidden = true;
    failed('gateways-status', 'report its gateways yet', e);
  }
}

// The queue's depth and the uncertain count, from the relay's Prometheus metrics.
async function loadCounts() {
  let text = '';
  try {
    const response = await fetch('/metrics', { cache: 'no-store', credentials: 'omit', redirect: 'error' });
    if (response.ok) text = await response.text();
  } catch (e) {
    text = '';
  }
  const value = (name) => {
    const match = text.match(new RegExp('^' + name + '(?:\\{[^}]*\\})? (\\S+)$', 'm'));
    return match ? match[1] : '–';
  };
  $('queue-depth').textContent = value('snpp_relay_queue_depth');
  $('uncertain-open').textContent = value('snpp_relay_uncertain_open');
}

let refreshing = null;
let timer = null;

function refresh() {
  if (!refreshing) {
    refreshing = Promise.all([loadCounts(), loadUncertain(), loadRecent(false), loadGateways(),
      lookedUp ? lookup(lookedUp) : null]).finally(() => {
      refreshing = null;
      document.body.dataset.refreshed = String(Number(document.body.dataset.refreshed || 0) + 1);
    });
  }
  return refreshing;
}

function show(view) {
  document.body.dataset.view = view;
  $('sign-in').hidden = view !== 'sign-in';
  $('console').hidden = view !== 'console';
  $('counts').hidden = view !== 'console';
  $('session').hidden = view !== 'console';
}

function signOut(why) {
  sessionStorage.removeItem(TOKEN_KEY);
  clearInterval(timer);
  timer = null;
  lookedUp = null;
  for (const id of ['lookup-result', 'recent-list']) $(id).replaceChildren();
  for (const id of ['uncertain-table', 'gateways-table']) $(id).tBodies[0].replaceChildren();
  say('sign-in-problem', why || '', Boolean(why));
  show('sign-in');
  $('token').focus();
}

// A token is good when the relay answers a page look-up with anything but 401 or 403.
async function enter() {
  try {
    await api('GET', '/v1/pages/0');
  } catch (e) {
    if (e.status === 401 || e.status === 403) return;
    if (e.status !== 404) {
      say('sign-in-problem', e.message, true);
      show('sign-in');
      return;
    }
  }
  say('sign-in-problem', '');
  show('console');
  timer = timer || setInterval(refresh, REFRESH_MS);
  await refresh();
}

function start() {
  // A token, or anything else, in the address bar is never read; it is dropped from the history.
  if (location.search || location.hash) history.replaceState(null, '', location.pathname);
  $('sign-in-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const token = $('token').value.trim();
    $('token').value = '';
    if (!/^[\x20-\x7e]+$/.test(token)) {
      say('sign-in-problem', 'A token is one line of printable ASCII, as in the relay\'s api_tokens_file.', true);
      return;
    }
    sessionStorage.setItem(TOKEN_KEY, token);
    enter();
  });
  $('lookup-form').addEventListener('submit', (event) => {
    event.preventDefault();
    lookup($('lookup-id').value.trim().toLowerCase());
  });
  $('refresh').addEventListener('click', () => refresh());
  $('sign-out').addEventListener('click', () => signOut(''));
  $('recent-more').addEventListener('click', () => loadRecent(true));
  if (sessionStorage.getItem(TOKEN_KEY)) enter();
  else signOut('');
}

start();
