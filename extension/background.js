// The extension's background worker: the one connection to the native host, which hosts the
// toolbar component for every tab. It passes the tabs' navigation events to the host, relays the
// host's page reads and writes to the content script of a tab's top frame, opens the links the
// toolbar follows, keeps each tab's badge and hands the toolbar's face to an open popup.
'use strict';

const HOST_NAME = 'org.brackenfold.toolbar';
const INSTALL_COMMAND = 'brackenfold extension install';

let port = null;
// 'idle' before the first connection, 'connected', 'missing' (not installed or not allowed),
// 'crashed' (exited; started again with the next event), 'restarted' (running again after that).
let hostState = 'idle';
let hostProblem = '';
let hostNotice = '';  // what the host asks the user to do (the toolbar not registered)
const faces = new Map();   // tab id -> the last face message of its toolbar
const popups = new Set();  // ports of open popups, each with .tab

function setState(state, problem) {
  hostState = state;
  hostProblem = problem || '';
  for (const p of popups) sendState(p);
}

function stateText() {
  if (hostNotice && (hostState === 'connected' || hostState === 'restarted')) return hostNotice;
  switch (hostState) {
    case 'missing':
      return `Brackenfold's native host is not installed for this browser (${hostProblem}). ` +
          `Run "${INSTALL_COMMAND}", then reload the extension.`;
    case 'crashed':
      return 'Brackenfold\'s native host stopped; it starts again with the next page.';
    case 'restarted':
      return 'Brackenfold\'s native host stopped and was started again.';
    default:
      return '';
  }
}

function sendState(p) {
  p.postMessage({kind: 'state', state: hostState, message: stateText()});
}

function connect() {
  const wasDown = hostState === 'crashed' || hostState === 'restarted';
  let heard = false;
  try {
    port = chrome.runtime.connectNative(HOST_NAME);
  } catch (e) {
    port = null;
    setState('missing', String(e && e.message || e));
    return false;
  }
  const self = port;
  self.onMessage.addListener((message) => {
    if (!heard) {
      heard = true;
      setState(wasDown ? 'restarted' : 'connected');
    }
    onHostMessage(message);
  });
  self.onDisconnect.addListener(() => {
    const problem = chrome.runtime.lastError ? chrome.runtime.lastError.message : 'disconnected';
    if (port === self) port = null;
    faces.clear();
    hostNotice = '';
    // The browser says "not found" or "forbidden" when the host manifest is missing or does not
    // name this extension; a host that answered and went away has crashed.
    if (!heard && /not found|forbidden|invalid/i.test(problem)) setState('missing', problem);
    else setState('crashed', problem);
  });
  self.postMessage({type: 'hello', version: chrome.runtime.getManifest().version});
  // A host that starts (again) learns every tab there is, so each gets its window and lookup.
  chrome.tabs.query({}, (tabs) => {
    for (const t of tabs) {
      post({type: 'tab.open', tab: t.id, url: t.url || '', loaded: t.status === 'complete'});
    }
  });
  return true;
}

// Sends to the host, starting it first when it is not running. A host that is not installed is
// looked for again at most every few seconds (and whenever a popup opens).
let lastAttempt = 0;
function post(message, force) {
  if (!port) {
    if (hostState === 'missing' && !force && Date.now() - lastAttempt < 5000) return;
    lastAttempt = Date.now();
    if (!connect()) return;
  }
  try {
    port.postMessage(message);
  } catch (e) {
    // The port went away between the check and the call; the next event starts the host again.
  }
}

function isPageUrl(url) {
  try {
    const u = new URL(url);
    return u.protocol === 'http:' || u.protocol === 'https:';
  } catch (e) {
    return false;
  }
}

function relayToPage(message) {
  const request = Object.assign({}, message);
  delete request.type;
  delete request.id;
  delete request.tab;
  request.op = message.type;
  chrome.tabs.sendMessage(message.tab, request, {frameId: 0})
      .then((answer) => post(Object.assign({type: 'reply', id: message.id}, answer || {ok: false, error: 'no answer'})))
      .catch((e) => post({type: 'reply', id: message.id, ok: false, error: 'no page: ' + (e && e.message || e)}));
}

function onHostMessage(message) {
  if (!message || typeof message !== 'object') return;
  switch (message.type) {
    case 'read':
    case 'get':
    case 'write':
      if (Number.isInteger(message.tab) && Number.isInteger(message.id)) relayToPage(message);
      break;
    case 'navigate':
      // The toolbar follows only web links; anything else (javascript:, file:) is never opened.
      if (Number.isInteger(message.tab) && isPageUrl(message.url)) {
        chrome.tabs.update(message.tab, {url: message.url}).catch(() => {});
      }
      break;
    case 'face':
      if (!Number.isInteger(message.tab)) break;
      faces.set(message.tab, message);
      chrome.action.setBadgeText({tabId: message.tab, text: message.alias ? '@' : ''}).catch(() => {});
      chrome.action.setBadgeBackgroundColor({tabId: message.tab, color: '#2E7D32'}).catch(() => {});
      for (const p of popups) {
        if (p.tab === message.tab) p.postMessage({kind: 'face', png: message.png, status: message.status});
      }
      break;
    case 'notice':
      hostNotice = typeof message.message === 'string' ? message.message.slice(0, 500) : '';
      for (const p of popups) sendState(p);
      break;
    case 'error':
      console.warn('Brackenfold host:', message.message);
      break;
  }
}

function frameEvent(event, d, extra) {
  // Prerendered pages and fenced frames are not what the user sees.
  if (d.documentLifecycle === 'prerender' || d.frameType === 'fenced_frame') return;
  if (d.tabId < 0) return;
  post(Object.assign({
    type: 'nav', event, tab: d.tabId, frame: d.frameId,
    parent: d.parentFrameId === undefined ? -1 : d.parentFrameId, url: d.url,
  }, extra || {}));
}

chrome.webNavigation.onBeforeNavigate.addListener((d) => frameEvent('before', d));
chrome.webNavigation.onCommitted.addListener((d) => frameEvent('commit', d, {
  transition: d.transitionType, qualifiers: d.transitionQualifiers || [],
}));
chrome.webNavigation.onCompleted.addListener((d) => frameEvent('complete', d));
chrome.webNavigation.onErrorOccurred.addListener((d) => frameEvent('error', d, {error: d.error}));
chrome.webNavigation.onHistoryStateUpdated.addListener((d) => frameEvent('samedocument', d));
chrome.webNavigation.onReferenceFragmentUpdated.addListener((d) => frameEvent('samedocument', d));
chrome.webNavigation.onTabReplaced.addListener((d) => {
  post({type: 'tab.close', tab: d.replacedTabId});
  chrome.tabs.get(d.tabId).then((t) => {
    post({type: 'tab.open', tab: t.id, url: t.url || '', loaded: t.status === 'complete'});
  }).catch(() => {});
});
chrome.tabs.onCreated.addListener((t) => post({type: 'tab.open', tab: t.id, url: '', loaded: false}));
chrome.tabs.onRemoved.addListener((tab) => {
  faces.delete(tab);
  post({type: 'tab.close', tab});
});

chrome.runtime.onMessage.addListener((message, sender) => {
  if (sender.id !== chrome.runtime.id || !sender.tab || sender.frameId !== 0) return false;
  if (message && message.kind === 'inputs-added') {
    post({type: 'inputs', tab: sender.tab.id, document: message.document});
  }
  return false;
});

// The popup: it names its tab (the active one, or ?tab=N), gets the face and passes clicks on.
chrome.runtime.onConnect.addListener((p) => {
  if (p.name !== 'popup' || p.sender.id !== chrome.runtime.id) return;
  p.tab = null;
  popups.add(p);
  p.onDisconnect.addListener(() => {
    popups.delete(p);
    if (p.tab !== null) post({type: 'popup.close', tab: p.tab});
  });
  p.onMessage.addListener((m) => {
    if (!m || typeof m !== 'object') return;
    if (m.kind === 'open' && Number.isInteger(m.tab)) {
      p.tab = m.tab;
      sendState(p);
      const face = faces.get(m.tab);
      if (face) p.postMessage({kind: 'face', png: face.png, status: face.status});
      post({type: 'popup.open', tab: m.tab}, true);
    } else if (m.kind === 'click' && p.tab !== null && Number.isFinite(m.x) && Number.isFinite(m.y)) {
      post({type: 'click', tab: p.tab, x: Math.round(m.x), y: Math.round(m.y)});
    }
  });
});

connect();
