// Files and dialogs: the browser's file picker and a file dropped on the page, held until the
// core takes it (Module.page.held), the message box, and what the core writes offered as a
// download. Uses core (core_calls.js).

const files = {
  held: null,  // the file a picker or a drop gave, until the core takes it

  showMessage(text, icon) {
    const box = $('message');
    box.dataset.icon = ['none', 'error', 'information'][icon] || 'none';
    $('message-text').textContent = text;
    return new Promise((resolve) => {
      box.addEventListener('close', () => resolve(), {once: true});
      box.showModal();
      box.querySelector('.ok').focus();
    });
  },
  pickFile(accept) {
    return new Promise((resolve) => {
      const input = document.createElement('input');
      input.type = 'file';
      input.hidden = true;
      if (accept) input.accept = accept;
      let done = false;
      const finish = (file) => {
        if (done) return;
        done = true;
        input.remove();
        if (!file) return resolve(false);
        file.arrayBuffer().then((buffer) => {
          Module.page.held = {name: file.name, bytes: new Uint8Array(buffer)};
          resolve(true);
        }, () => resolve(false));
      };
      input.addEventListener('change', () => finish(input.files[0] || null));
      input.addEventListener('cancel', () => finish(null));
      document.body.append(input);
      input.click();
    });
  },
  offerDownload(name, bytes) {
    const url = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  },

  // A file dropped on the page loads as "Load File" would load it.
  acceptDrops(form) {
    document.addEventListener('dragover', (event) => {
      event.preventDefault();
      form.classList.add('drop-target');
    });
    document.addEventListener('dragleave', () => form.classList.remove('drop-target'));
    document.addEventListener('drop', (event) => {
      event.preventDefault();
      form.classList.remove('drop-target');
      const file = event.dataTransfer.files[0];
      if (!file) return;
      file.arrayBuffer().then((buffer) => {
        core.enqueue(() => {
          Module.page.held = {name: file.name, bytes: new Uint8Array(buffer)};
        });
        core.call('pelkar_file_dropped');
        core.enqueue(() => {
          Module.page.held = null;
        });
      }, (error) => core.fault(error));
    });
  },
};
