// The Chromium engine's own script, run in an isolated world of every document (the world named
// kWorldName): pages cannot see it, replace it or the prototypes it calls. It keeps the elements
// the host has handed out by number, answers the document model's reads, writes values as typing
// would (the input's native setter, then bubbling input and change events), submits forms the
// way the page's own submit does, and watches for INPUT elements that appear after the document
// was complete (reported once per arming through the binding kInputsBinding).
#pragma once

namespace bf::host {

inline constexpr const char* kWorldName = "brackenfold";
inline constexpr const char* kInputsBinding = "__bfInputs";

inline constexpr const char* kWorldScript = R"js((() => {
  if (globalThis.__bf) return;
  const els = [];
  const ids = new WeakMap();
  const ref = (e) => {
    let i = ids.get(e);
    if (i === undefined) { i = els.length; els.push(e); ids.set(e, i); }
    return i;
  };
  const list = (tag) => document.getElementsByTagName(tag || '*');
  const el = (i) => { const e = els[i]; if (!e) throw new Error('no such element'); return e; };
  const attr = (e, n) => { const v = e.getAttribute(n); return v === null ? '' : v; };
  const isInput = (e) => e.localName === 'input' && e.namespaceURI === 'http://www.w3.org/1999/xhtml';
  const find = (field) => {
    const inputs = list('INPUT');
    for (const e of inputs) if (attr(e, 'id') === field) return e;
    for (const e of inputs) if (attr(e, 'name') === field) return e;
    return null;
  };
  const nativeValue = Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set;
  const nativeChecked = Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'checked').set;
  const changed = (e) => {
    e.dispatchEvent(new Event('input', { bubbles: true }));
    e.dispatchEvent(new Event('change', { bubbles: true }));
  };
  let seen = new WeakSet(), told = false, observer = null;
  const fresh = () => { for (const e of list('INPUT')) if (!seen.has(e)) return true; return false; };
  globalThis.__bf = {
    length: (tag) => list(tag).length,
    item: (tag, i) => { const e = list(tag)[i]; return e ? [ref(e), isInput(e)] : null; },
    named: (tag, name, nth) => {
      for (const e of list(tag))
        if (attr(e, 'id') === name || (isInput(e) && attr(e, 'name') === name)) if (nth-- === 0) return [ref(e), isInput(e)];
      return null;
    },
    read: (i, what) => {
      const e = el(i);
      switch (what) {
        case 'id': return attr(e, 'id');
        case 'tag': return e.tagName;
        case 'index': return Array.prototype.indexOf.call(list(), e);
        case 'type': return [e.hasAttribute('type'), attr(e, 'type')];
        case 'name': return attr(e, 'name');
        case 'value': return e.value;
        case 'defaultValue': return e.defaultValue;
        case 'disabled': return e.disabled;
        case 'checked': return e.checked;
      }
      throw new Error('unknown property');
    },
    setValue: (i, v) => { const e = el(i); nativeValue.call(e, v); changed(e); return true; },
    setChecked: (i, v) => { const e = el(i); nativeChecked.call(e, v); changed(e); return true; },
    inputs: () => Array.from(list('INPUT'), (e) => [e.hasAttribute('type'), attr(e, 'type'), attr(e, 'id'), attr(e, 'name'), e.value]),
    find: (field) => { const e = find(field); return e ? ref(e) : -1; },
    focus: (i) => {
      const e = el(i);
      e.scrollIntoView({ block: 'center' });
      e.focus();
      try { e.select(); } catch (x) {}
      return document.activeElement === e;
    },
    blur: (i) => { el(i).blur(); return true; },
    submit: (field) => {
      let form = null;
      if (field) {
        const e = find(field);
        if (!e) return 1;
        form = e.form;
        if (!form) return 2;
      } else {
        form = document.forms[0];
        if (!form) return 3;
      }
      if (!form.noValidate && !form.checkValidity()) return 4;
      form.requestSubmit();
      return 0;
    },
    title: () => document.title,
    url: () => document.URL,
    readyState: () => document.readyState,
    arm: () => {
      seen = new WeakSet();
      for (const e of list('INPUT')) seen.add(e);
      told = false;
      if (!observer) {
        observer = new MutationObserver(() => {
          if (told || typeof globalThis.__bfInputs !== 'function' || !fresh()) return;
          told = true;
          globalThis.__bfInputs('');
        });
        observer.observe(document, { childList: true, subtree: true });
      }
      return true;
    },
    fresh: fresh,
  };
})())js";

}  // namespace bf::host
