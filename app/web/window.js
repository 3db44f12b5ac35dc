// The window: draws what the core tells it and passes the person's actions on; then loads
// the core. Uses core (core_calls.js), serial (serial_channel.js) and files (files.js).

const kAskForPort = 'Another port\u2026';
const menuButton = $('serial-port');
const menu = $('port-items');
const items = [];

function closeMenu() {
  menu.hidden = true;
  menuButton.setAttribute('aria-expanded', 'false');
}

function addAskItem() {
  const ask = document.createElement('li');
  ask.className = 'ask';
  ask.setAttribute('role', 'menuitem');
  ask.textContent = kAskForPort;
  // Straight from the click: the browser opens its chooser only for a person's action.
  ask.addEventListener('click', () => {
    closeMenu();
    serial.ask();
  });
  menu.append(ask);
}

const bar = {
  share: undefined,  // to be drawn
  draw() {
    if (this.share === undefined) return;
    $('picture1').firstElementChild.style.transform = `scaleX(${this.share})`;
    $('picture1').setAttribute('aria-valuenow', String(Math.round(this.share * 100)));
    this.share = undefined;
  },
};

// What the core's face (web_form1.cpp) calls.
const form = {
  addPortItem(caption) {
    const item = document.createElement('li');
    item.setAttribute('role', 'menuitemcheckbox');
    item.setAttribute('aria-checked', 'false');
    item.textContent = caption;
    const index = items.length;
    item.addEventListener('click', () => {
      closeMenu();
      core.call('pelkar_port_click', index);
    });
    items.push(item);
    menu.insertBefore(item, menu.querySelector('.ask'));
  },
  clearPortItems() {
    for (const item of items.splice(0)) item.remove();
  },
  setPortTicked(index, ticked) {
    items[index].setAttribute('aria-checked', String(ticked));
  },
  setEnabled(name, enabled) {
    if (name === 'serial-port') {
      menuButton.disabled = !enabled || !hasSerial;
      if (menuButton.disabled) closeMenu();
    } else {
      $(name).disabled = !enabled;
    }
  },
  setUpdateCaption(caption) {
    $('update').textContent = caption;
    core.running = caption === 'Stop';
  },
  // While the core answers the port, drawn in a task of its own once its call has returned:
  // the answer the call has written goes out only then, and the drawing held it back.
  showProgress(units, scale) {
    const share = scale > 0 ? Math.min(1, Math.max(0, units / scale)) : 0;
    if (bar.share === undefined && core.answering) setTimeout(() => bar.draw());
    bar.share = share;
    if (!core.answering) bar.draw();
  },
};

$('message').querySelector('.ok').addEventListener('click', () => $('message').close());

menuButton.addEventListener('click', () => {
  if (menuButton.disabled) return;
  const open = menu.hidden;
  menu.hidden = !open;
  menuButton.setAttribute('aria-expanded', String(open));
});
document.addEventListener('click', (event) => {
  if (!event.target.closest('.menu')) closeMenu();
});
$('load-file').addEventListener('click', () => core.call('pelkar_load_file_click'));
$('update').addEventListener('click', () => core.call('pelkar_update_click'));
$('command1').addEventListener('click', () => core.call('pelkar_command1_click'));

// Key preview: every character typed on the page, whatever holds the focus, but not what
// goes to a message box.
const keyText = {Enter: '\r', Backspace: '\b', Tab: '\t', Escape: '\x1b'};
window.addEventListener('keydown', (event) => {
  if ($('message').open || event.isComposing || event.ctrlKey || event.metaKey || event.altKey)
    return;
  const text = keyText[event.key] ?? event.key;
  if (text.length === 0 || [...text].length !== 1) return;  // Shift, F1, ArrowLeft...
  core.call('pelkar_key_press', text.charCodeAt(0));
}, true);

files.acceptDrops($('form1'));

// Leaving mid-update would leave the device half written: the browser asks first.
window.addEventListener('beforeunload', (event) => {
  if (core.running) event.preventDefault();
});
window.addEventListener('pagehide', () => core.call('pelkar_form_unload'));

if (!hasSerial) {
  const notice = $('notice');
  notice.textContent = 'This browser has no Web Serial, so it cannot reach a device: ' +
      'use Chrome or Edge to update. The encoder works here.';
  notice.hidden = false;
}
addAskItem();
serial.listen();

window.Module = {
  page: {...form, ...files, serial},
  locateFile: (path) => path,
  onRuntimeInitialized() {
    serial.refresh().then(() => core.call('pelkar_form_load')).then(() => {
      $('command1').focus({preventScroll: true});  // first in the tab order, as on the desktop
      window.pelkarLoadMs = performance.now();
      document.body.dataset.ready = 'true';
    });
  },
};
const script = document.createElement('script');
script.src = 'pelkar1_update.js';
document.head.append(script);
