// The page as the toolbar sees it: the INPUT elements of the tab's top document, read live and
// written as typing would write them. Runs in the extension's isolated world, so the page's own
// scripts can neither see nor replace it. The background worker relays the native host's
// requests here and the answers back.
'use strict';

(() => {
  // One token per document: handles of a document that has gone are never taken for elements of
  // the next one. (crypto.randomUUID exists only in secure contexts; plain http pages need the
  // toolbar as much as any.)
  const documentToken = Array.from(crypto.getRandomValues(new Uint8Array(16)),
      (b) => b.toString(16).padStart(2, '0')).join('');
  const handles = new WeakMap();  // element -> handle
  const elements = new Map();     // handle -> WeakRef(element)
  let nextHandle = 1;

  // The value setter of the platform's own prototype: a page that wraps or replaces the
  // element's value property (as front-end frameworks do to follow typing) sees the change in
  // its input event as it would see a user's.
  const valueSetter = Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set;

  function handleOf(element) {
    let handle = handles.get(element);
    if (!handle) {
      handle = nextHandle++;
      handles.set(element, handle);
      elements.set(handle, new WeakRef(element));
    }
    return handle;
  }

  function describe(element) {
    return {
      handle: handleOf(element),
      type: element.type,
      id: element.id,
      name: element.getAttribute('name') || '',
      value: element.value,
    };
  }

  function elementOf(handle) {
    const ref = elements.get(handle);
    const element = ref && ref.deref();
    if (!element || !element.isConnected) {
      elements.delete(handle);
      return null;
    }
    return element;
  }

  function answer(request) {
    if (request.document !== undefined && request.document !== documentToken) {
      return {ok: false, error: 'gone'};
    }
    switch (request.op) {
      case 'read':
        return {
          ok: true,
          document: documentToken,
          url: location.href,
          inputs: Array.from(document.getElementsByTagName('input'), describe),
        };
      case 'get': {
        const element = elementOf(request.handle);
        return element ? {ok: true, input: describe(element)} : {ok: false, error: 'gone'};
      }
      case 'write': {
        const element = elementOf(request.handle);
        if (!element) return {ok: false, error: 'gone'};
        // Only over what the toolbar read: text the user typed in the meantime stays.
        if (element.value !== request.expect) return {ok: false, error: 'changed'};
        valueSetter.call(element, String(request.value));
        element.dispatchEvent(new Event('input', {bubbles: true}));
        element.dispatchEvent(new Event('change', {bubbles: true}));
        return {ok: true};
      }
      default:
        return {ok: false, error: 'unknown request'};
    }
  }

  chrome.runtime.onMessage.addListener((request, sender, reply) => {
    if (sender.id !== chrome.runtime.id || !request || typeof request !== 'object') return false;
    try {
      reply(answer(request));
    } catch (e) {
      reply({ok: false, error: String(e && e.message || e)});
    }
    return false;
  });

  // Forms a script renders after the load (a sign-up dialog): the host hears of new INPUT
  // elements at most once per 250 ms, and only when some appeared.
  let reported = 0;
  let timer = 0;
  function countInputs() { return document.getElementsByTagName('input').length; }
  function report() {
    timer = 0;
    const count = countInputs();
    if (count > reported) {
      reported = count;
      chrome.runtime.sendMessage({kind: 'inputs-added', document: documentToken}).catch(() => {});
    } else {
      reported = count;
    }
  }
  function watch() {
    reported = countInputs();
    new MutationObserver(() => { if (!timer) timer = setTimeout(report, 250); })
        .observe(document.documentElement, {childList: true, subtree: true});
  }
  if (document.readyState === 'complete') watch();
  else addEventListener('load', watch, {once: true});
})();
