// Serves the repository's files read-only on 127.0.0.1, as any local web server would serve the
// playground to a developer.
import { createReadStream, statSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
};

export function serve(root) {
  const server = http.createServer((request, response) => {
    let file;
    let policy = null;
    try {
      const { pathname, searchParams } = new URL(request.url, 'http://localhost');
      // ?csp=<policy> serves the page under that content security policy.
      policy = searchParams.get('csp');
      file = path.join(root, decodeURIComponent(pathname));
      if (!file.startsWith(root + path.sep) && file !== root) throw new Error('outside');
      if (statSync(file).isDirectory()) file = path.join(file, 'index.html');
      statSync(file);
    } catch {
      response.writeHead(404, { 'content-type': 'text/plain' }).end('not found');
      return;
    }
    response.writeHead(200, {
      'content-type': TYPES[path.extname(file)] || 'application/octet-stream',
      'cache-control': 'no-store',
      ...(policy ? { 'content-security-policy': policy } : {}),
    });
    createReadStream(file).pipe(response);
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      resolve({
        url: `http://127.0.0.1:${server.address().port}`,
        close: () => new Promise((done) => server.close(done)),
      });
    });
  });
}
