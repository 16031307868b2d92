// Test controls: what the token endpoint received, and failures injected into its next answers.
// They sit beside the provider (express routes under /test and one koa hook on the token route)
// so that the provider itself stays as the library ships it. The other parts of the service
// (parts: objects with controls(router) and reset()) add their own routes here.

import express from 'express';

const MAX_RECORDED = 1000;
const MAX_FORM_BYTES = 64 * 1024;

const STATUS_TEXT = {
  500: 'Internal Server Error', 502: 'Bad Gateway', 503: 'Service Unavailable', 504: 'Gateway Timeout',
};

async function readForm(req) {
  const chunks = [];
  let size = 0;
  for await (const chunk of req) {
    size += chunk.length;
    if (size > MAX_FORM_BYTES) break;
    chunks.push(chunk);
  }
  return new URLSearchParams(Buffer.concat(chunks).toString('utf8'));
}

// Which parameters came, never their values (apart from the non-secret ones).
function describe(params) {
  const get = (name) => (typeof params.get === 'function' ? params.get(name) : params[name]) ?? null;
  return {
    grant_type: get('grant_type'),
    client_id: get('client_id'),
    redirect_uri: get('redirect_uri'),
    code_presented: Boolean(get('code')),
    code_verifier_presented: Boolean(get('code_verifier')),
    refresh_token_presented: Boolean(get('refresh_token')),
  };
}

export class TestControls {
  #requests = [];
  #failures = [];
  #parts;

  constructor({ parts = [] } = {}) {
    this.#parts = parts;
  }

  async reset() {
    this.#requests = [];
    this.#failures = [];
    await Promise.all(this.#parts.map((part) => part.reset()));
  }

  failNext(count, status, error, body, headers) {
    for (let i = 0; i < count; i += 1) this.#failures.push({ status, error, body, headers });
  }

  #record(entry) {
    this.#requests.push({ seq: this.#requests.length + 1, time: new Date().toISOString(), ...entry });
    if (this.#requests.length > MAX_RECORDED) this.#requests.shift();
  }

  // Koa middleware for the provider, in front of its token route; revocations are recorded.
  tokenEndpointHook(tokenPath, revocationPath) {
    return async (ctx, next) => {
      if (ctx.method === 'POST' && ctx.path === revocationPath) {
        await next();
        const params = ctx.oidc?.params || {};
        this.#record({
          endpoint: 'revocation',
          client_id: params.client_id ?? null,
          token_type_hint: params.token_type_hint ?? null,
          token_presented: Boolean(params.token),
          status: ctx.status,
        });
        return undefined;
      }
      if (ctx.method !== 'POST' || ctx.path !== tokenPath) return next();
      const contentType = ctx.get('content-type') || null;
      const failure = this.#failures.shift();
      if (failure) {
        const form = await readForm(ctx.req);
        ctx.status = failure.status;
        for (const [name, value] of Object.entries(failure.headers || {})) ctx.set(name, value);
        if (failure.error) {
          ctx.body = { error: failure.error, error_description: 'injected by the test controls' };
        } else if (failure.body !== undefined) {
          ctx.type = 'text/html';
          ctx.body = failure.body;
        } else {
          ctx.type = 'text/plain';
          ctx.body = `${STATUS_TEXT[failure.status] || 'Injected failure'}\n`;
        }
        ctx.set('cache-control', 'no-store');
        this.#record({
          ...describe(form), content_type: contentType, status: ctx.status, error: failure.error || null, injected: true,
        });
        return undefined;
      }
      try {
        await next();
      } finally {
        const body = ctx.body && typeof ctx.body === 'object' && !Buffer.isBuffer(ctx.body) ? ctx.body : {};
        this.#record({
          ...describe(ctx.oidc?.params || {}),
          content_type: contentType,
          status: ctx.status,
          error: typeof body.error === 'string' ? body.error : null,
          injected: false,
        });
      }
      return undefined;
    };
  }

  router() {
    const router = express.Router();
    router.use(express.json({ limit: '64kb' }));
    router.get('/requests', (req, res) => {
      res.json({ token_requests: this.#requests });
    });
    router.post('/provider/fail-next', (req, res) => {
      const {
        count = 1, status = 503, error, body, headers,
      } = req.body || {};
      const stringMap = (value) => value === undefined || (typeof value === 'object' && value !== null
        && !Array.isArray(value) && Object.values(value).every((v) => typeof v === 'string'));
      if (!Number.isInteger(count) || count < 0 || count > 100
          || !Number.isInteger(status) || status < 200 || status > 599
          || (error !== undefined && typeof error !== 'string')
          || (body !== undefined && typeof body !== 'string') || !stringMap(headers)) {
        res.status(400).json({ error: 'expected {"count": 0..100, "status": 200..599, "error"?: string, "body"?: string, "headers"?: {string: string}}' });
        return;
      }
      this.failNext(count, status, error, body, headers);
      res.json({ pending: this.#failures.length });
    });
    router.post('/reset', async (req, res) => {
      await this.reset();
      res.json({ ok: true });
    });
    for (const part of this.#parts) part.controls(router);
    router.use((err, req, res, next) => { // eslint-disable-line no-unused-vars
      res.status(err.status || 500).json({ error: err.type || err.message });
    });
    return router;
  }
}
