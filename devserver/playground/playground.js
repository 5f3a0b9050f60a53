// The playground page: polls the dev server for what is new and renders it.
// Every text from outside (names, chat, bodies, log lines) goes into the page
// through textContent only, never as markup.
'use strict';

(() => {
  const MAX_ENTRIES = 1000;  // per region, as on the server
  const POLL_MS = 500;
  // Longer texts are shown clipped, with a button for the rest: a browser
  // lays out a long text without blanks slowly, and a region full of them
  // would hold the page for seconds.
  const CLIP = 2048;
  const MODES = ['global', 'tribe', 'local', 'alliance'];
  const token = document.querySelector('meta[name="playground-token"]').content;
  let since = 0;
  let stopped = false;

  const $ = (id) => document.getElementById(id);

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // An element that shows `text`, clipped to CLIP characters (not inside a
  // surrogate pair) with a button that shows the rest.
  function clipped(tag, className, text) {
    if (text.length <= CLIP) return el(tag, className, text);
    let cut = CLIP;
    const code = text.charCodeAt(cut - 1);
    if (code >= 0xD800 && code <= 0xDBFF) cut -= 1;
    const node = el(tag, className + ' clipped');
    const more = el('button', 'more', `show all (${text.length - cut} more characters)`);
    more.type = 'button';
    more.addEventListener('click', () => {
      node.classList.remove('clipped');
      node.textContent = text;
    });
    node.append(text.slice(0, cut) + '… ', more);
    return node;
  }

  async function call(path, body) {
    const init = {headers: {'X-Playground-Token': token}};
    if (body !== undefined) {
      init.method = 'POST';
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const response = await fetch(path, init);
    const type = response.headers.get('Content-Type') || '';
    const data = type.startsWith('application/json') ? await response.json()
                                                     : {error: await response.text()};
    return {status: response.status, data};
  }

  function setConnection(text, ok) {
    const node = $('connection');
    node.textContent = text;
    node.classList.toggle('bad', !ok);
  }

  // Keeps a list at its bound: the oldest entries go (at the end for lists
  // shown newest first).
  function trim(list, newestFirst) {
    while (list.children.length > MAX_ENTRIES) {
      list.removeChild(newestFirst ? list.lastElementChild : list.firstElementChild);
    }
  }

  function stickToBottom(list) {
    return list.scrollHeight - list.scrollTop - list.clientHeight < 24;
  }

  function renderPlayers(players, count) {
    const list = $('players');
    list.replaceChildren();
    const names = $('player-names');
    names.replaceChildren();
    for (const p of players) {
      const item = el('li', 'player');
      const who = el('div', 'who');
      who.append(el('span', 'name', p.name));
      if (p.character) who.append(el('span', 'character', p.character));
      who.append(el('span', p.hasState ? 'tag' : 'tag warn',
                    p.hasState ? 'player state' : 'no player state'));
      const leave = el('button', 'leave', 'Leave');
      leave.type = 'button';
      leave.setAttribute('aria-label', 'Leave ' + p.name);
      leave.addEventListener('click', () => act('leave', {player: p.name}, $('players-reply')));
      item.append(who, leave);
      list.append(item);
      const option = document.createElement('option');
      option.value = p.name;
      names.append(option);
    }
    $('player-count').textContent = count > players.length
        ? `(${players.length} of ${count} shown)` : `(${count})`;
    $('no-players').hidden = count > 0;
  }

  function chatEntry(e) {
    const item = el('li', e.kind);
    if (e.kind === 'said') {
      const head = el('div', 'head');
      head.append(el('span', 'name', e.player), el('span', 'muted', 'said'),
                  el('span', 'tag', MODES[e.mode] ?? String(e.mode)));
      if (e.command) head.append(el('span', 'tag', 'command'));
      head.append(el('span', e.suppressed ? 'tag warn' : 'tag',
                     e.suppressed ? 'suppressed' : 'not suppressed'));
      item.append(head, clipped('div', 'text', e.text));
    } else {
      const head = el('div', 'head');
      head.append(el('span', 'muted', 'to'), el('span', 'name', e.to),
                  el('span', 'muted', 'from'), el('span', 'name', e.from));
      item.append(head, clipped('div', 'text', e.text));
    }
    return item;
  }

  function prettyBody(body) {
    try {
      return JSON.stringify(JSON.parse(body), null, 2);
    } catch {
      return body;
    }
  }

  function webhookEntry(e) {
    const item = el('li', 'webhook');
    const head = el('div', 'head');
    head.append(el('span', 'muted', e.time), el('span', 'method', e.method),
                el('span', 'path', e.path),
                el('span', e.bearer ? 'tag' : 'tag warn', e.bearer ? 'bearer: yes' : 'bearer: no'));
    item.append(head, clipped('pre', 'body', prettyBody(e.body)));
    return item;
  }

  function logEntry(e) {
    return clipped('li', 'log ' + e.level, e.text);
  }

  function append(list, entries, render) {
    if (entries.length === 0) return;
    const follow = stickToBottom(list);
    const fragment = document.createDocumentFragment();
    for (const e of entries.slice(-MAX_ENTRIES)) fragment.append(render(e));
    list.append(fragment);
    trim(list, false);
    if (follow) list.scrollTop = list.scrollHeight;
  }

  function prepend(list, entries, render) {
    if (entries.length === 0) return;
    const fragment = document.createDocumentFragment();
    for (const e of entries.slice(-MAX_ENTRIES).reverse()) fragment.append(render(e));
    list.prepend(fragment);
    trim(list, true);
  }

  async function poll() {
    if (stopped) return;
    try {
      const {status, data} = await call('/api/state?since=' + since);
      if (status === 403) {
        stopped = true;
        setConnection('This link is no longer valid: open the one the dev server printed.', false);
        return;
      }
      if (status !== 200) throw new Error(data.error || 'HTTP ' + status);
      if (data.players) renderPlayers(data.players, data.playerCount);
      append($('chat-lines'), data.chat, chatEntry);
      prepend($('webhooks'), data.webhooks, webhookEntry);
      append($('log'), data.log, logEntry);
      since = data.seq;
      setConnection('live', true);
      // An answer that could not hold everything new: the rest at once.
      setTimeout(poll, data.more ? 0 : POLL_MS);
    } catch (error) {
      setConnection('dev server not reachable; retrying…', false);
      setTimeout(poll, 4 * POLL_MS);
    }
  }

  // Sends one change and shows the answer in `reply`.
  async function act(what, body, reply) {
    reply.classList.remove('bad');
    reply.textContent = '…';
    try {
      const {status, data} = await call('/api/' + what, body);
      reply.textContent = status === 200 ? data.reply : data.error;
      reply.classList.toggle('bad', status !== 200 || data.reply.startsWith('ERROR'));
    } catch (error) {
      reply.textContent = 'dev server not reachable';
      reply.classList.add('bad');
    }
  }

  function onSubmit(id, build) {
    const form = $(id);
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      act(id, build(form.elements), form.querySelector('output'));
    });
  }

  onSubmit('join', (f) => ({player: f.player.value, character: f.character.value}));
  onSubmit('chat', (f) => ({
    player: f.player.value,
    text: f.text.value,
    mode: Number(f.mode.value),
    command: f.command.checked,
  }));
  onSubmit('say', (f) => ({sender: f.sender.value, message: f.message.value}));

  $('reload').addEventListener('click', () => act('reload', {}, $('reload-reply')));

  poll();
})();
