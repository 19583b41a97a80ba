// Keeps the page and its module on this machine once it has loaded, so that it opens again
// without a network. The build writes a digest of the site's files into the store's name: a
// new build's files take the place of the old ones together, once no tab shows the old page.
'use strict';

const store = 'kestrix-@SITE_VERSION@';
const files =
    ['./', 'index.html', 'page.css', 'page.js', 'worker.js', 'kestrix.js', 'kestrix.wasm'];

self.addEventListener('install', (event) => {
  // Past the browser's own cache, so that the store holds one build's files, not a mixture.
  const requests = files.map((file) => new Request(file, { cache: 'reload' }));
  event.waitUntil(caches.open(store).then((cache) => cache.addAll(requests)));
});

self.addEventListener('activate', (event) => {
  const old = (name) => name.startsWith('kestrix-') && name !== store;
  event.waitUntil(
      caches.keys()
          .then((names) => Promise.all(names.filter(old).map((name) => caches.delete(name))))
          .then(() => self.clients.claim()));
});

// The page's own files from the store, anything else (none today) from the network.
self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== location.origin) return;
  event.respondWith(caches.match(request, { cacheName: store, ignoreSearch: true })
                        .then((kept) => kept || fetch(request)));
});
