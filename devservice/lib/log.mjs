// Request log on stderr. Query strings and bodies are never written: on this service they carry
// authorization codes, PKCE verifiers and tokens.

export function logLine(message) {
  process.stderr.write(`${new Date().toISOString()} ${message}\n`);
}

export function withoutQuery(url) {
  const at = url.indexOf('?');
  return at < 0 ? url : `${url.slice(0, at)}?<redacted>`;
}

export function requestLogger() {
  return function logRequest(req, res, next) {
    const started = process.hrtime.bigint();
    res.on('finish', () => {
      const ms = Number(process.hrtime.bigint() - started) / 1e6;
      logLine(`${req.method} ${withoutQuery(req.originalUrl)} ${res.statusCode} ${ms.toFixed(1)}ms`);
    });
    next();
  };
}
