// The popup shows the tab's toolbar band as the native host draws it and passes clicks on it to
// the band: a click on the picture is a click on the toolbar at the same place.
'use strict';

const band = document.getElementById('band');
const message = document.getElementById('message');
const waiting = document.getElementById('waiting');
const port = chrome.runtime.connect({name: 'popup'});

port.onMessage.addListener((m) => {
  if (m.kind === 'face' && typeof m.png === 'string' && m.png.startsWith('data:image/png;base64,')) {
    band.src = m.png;
    band.title = m.status || '';
    band.hidden = false;
    waiting.hidden = true;
  } else if (m.kind === 'state') {
    message.textContent = m.message || '';
    message.hidden = !m.message;
    if (m.state === 'missing') waiting.hidden = true;
  }
});

band.addEventListener('click', (e) => {
  // The picture is shown at its own size; scale anyway in case the page is zoomed.
  const x = e.offsetX * band.naturalWidth / band.clientWidth;
  const y = e.offsetY * band.naturalHeight / band.clientHeight;
  port.postMessage({kind: 'click', x, y});
});

// The popup belongs to the active tab of its window; ?tab=N names another (tests open the popup
// as a page of its own).
const named = Number.parseInt(new URLSearchParams(location.search).get('tab'), 10);
if (Number.isInteger(named)) {
  port.postMessage({kind: 'open', tab: named});
} else {
  chrome.tabs.query({active: true, currentWindow: true}, (tabs) => {
    if (tabs.length) port.postMessage({kind: 'open', tab: tabs[0].id});
  });
}
