// The product's own web endpoints beside the MCP server: public statistics, push-token
// registration and the payment page that checkout links lead to.

import { randomBytes } from 'node:crypto';
import http from 'node:http';

import express from 'express';
import { requireBearerAuth } from '@modelcontextprotocol/sdk/server/auth/middleware/bearerAuth.js';
import { z } from 'zod';

import { RecordList, parseControl } from './record.mjs';

export const DEFAULT_STATS = {
  articles: { topics: 12, projects: 3 },
  skills: { total: 40 },
  news: { latest_date: '2026-12-01' },
};
const MAX_CHECKOUTS = 1000;
const CHECKOUT_ID = /^[A-Za-z0-9_-]{1,64}$/;
const PUSH_TIMEOUT_MS = 5000;
const MAX_PUSH_BYTES = 4096; // what a push server accepts

// The device token is the hexadecimal text of the endpoint URL the desktop's push distributor
// handed out; the service pushes by POSTing the message to it (RFC 8030). Only loopback
// endpoints: this is a test service.
function endpointOf(token) {
  if (typeof token !== 'string' || !/^([0-9a-f]{2})+$/.test(token)) return null;
  let url;
  try {
    url = new URL(Buffer.from(token, 'hex').toString('utf8'));
  } catch {
    return null;
  }
  return url.protocol === 'http:' && url.hostname === '127.0.0.1' ? url : null;
}

function postMessage(url, bytes) {
  return new Promise((resolve) => {
    const req = http.request(url, {
      method: 'POST',
      headers: { 'content-type': 'application/octet-stream', 'content-length': bytes.length, ttl: '60' },
      timeout: PUSH_TIMEOUT_MS,
    }, (res) => {
      res.resume();
      res.on('end', () => resolve({ status: res.statusCode }));
    });
    req.on('timeout', () => req.destroy(new Error('timed out')));
    req.on('error', (err) => resolve({ status: null, error: err.message }));
    req.end(bytes);
  });
}

const PushMessage = z.union([
  z.object({ payload: z.any().refine((value) => value !== undefined, 'required'), token: z.string().optional() }).strict(),
  z.object({ raw: z.string().min(1), token: z.string().optional() }).strict(),
]);

export class Backend {
  #origin;
  #bearer;
  #pushRequests = new RecordList();
  #checkouts = new Set();
  #visits = new RecordList();

  constructor({ origin, verifier }) {
    this.#origin = origin;
    this.#bearer = requireBearerAuth({ verifier });
  }

  reset() {
    this.#pushRequests.clear();
    this.#checkouts.clear();
    this.#visits.clear();
  }

  newCheckoutUrl() {
    const id = randomBytes(12).toString('base64url');
    this.#checkouts.add(id);
    if (this.#checkouts.size > MAX_CHECKOUTS) this.#checkouts.delete(this.#checkouts.values().next().value);
    return `${this.#origin}/pay/${id}`;
  }

  // The device token is no secret and is kept as sent; of the Authorization header only whether
  // it came.
  #pushRouter() {
    const router = express.Router();
    router.use((req, res, next) => {
      const entry = this.#pushRequests.add({
        http_method: req.method,
        content_type: req.get('content-type') ?? null,
        authorization: req.get('authorization') !== undefined,
        bearer_valid: null,
        body: null,
        status: null,
      });
      res.on('finish', () => { entry.status = res.statusCode; });
      res.locals.pushEntry = entry;
      next();
    });
    router.use(express.json({ limit: '16kb' }));
    router.use((req, res, next) => {
      res.locals.pushEntry.body = req.body ?? null;
      next();
    });
    router.use(async (req, res, next) => {
      const entry = res.locals.pushEntry;
      entry.bearer_valid = false;
      await this.#bearer(req, res, () => {
        entry.bearer_valid = true;
        next();
      });
    });
    const answer = (req, res) => {
      if (!req.body || typeof req.body !== 'object' || Array.isArray(req.body)) {
        res.status(400).json({ ok: false, error: 'expected a JSON object' });
        return;
      }
      res.json({ ok: true });
    };
    router.post('/', answer);
    router.delete('/', answer);
    router.use((err, req, res, next) => { // eslint-disable-line no-unused-vars
      res.status(err.status && err.status < 500 ? err.status : 500).json({ ok: false, error: err.type || 'server error' });
    });
    return router;
  }

  #registeredTokens() {
    const tokens = new Set();
    for (const entry of this.#pushRequests.list()) {
      const token = entry.body?.token;
      if (!entry.bearer_valid || entry.status !== 200 || typeof token !== 'string') continue;
      if (entry.http_method === 'POST') tokens.add(token);
      if (entry.http_method === 'DELETE') tokens.delete(token);
    }
    return [...tokens];
  }

  #payPage(req, res) {
    const { id } = req.params;
    if (!CHECKOUT_ID.test(id)) {
      res.status(404).type('text/plain').send('Not Found\n');
      return;
    }
    this.#visits.add({ id, known: this.#checkouts.has(id), user_agent: req.get('user-agent') ?? null });
    res.status(200).type('html').send(`<!doctype html>
<html lang="zh-Hant"><head><meta charset="utf-8"><title>付款</title></head>
<body><h1>付款頁面</h1><p>訂單 ${id}</p><p>這是測試用的付款頁面，不會收取任何費用。</p></body></html>
`);
  }

  router() {
    const router = express.Router();
    router.get('/api/stats', (req, res) => res.json(DEFAULT_STATS));
    router.use('/push-token', this.#pushRouter());
    router.get('/pay/:id', (req, res) => this.#payPage(req, res));
    return router;
  }

  controls(router) {
    router.get('/push-tokens', (req, res) => {
      res.json({ requests: this.#pushRequests.list() });
    });
    // Sends a message to the given device token, or to every token reported and not withdrawn.
    router.post('/push-message', parseControl(PushMessage, async (body, res) => {
      const bytes = Buffer.from('raw' in body ? body.raw : JSON.stringify(body.payload), 'utf8');
      if (bytes.length > MAX_PUSH_BYTES) {
        res.status(400).json({ error: `at most ${MAX_PUSH_BYTES} bytes` });
        return;
      }
      const tokens = body.token !== undefined ? [body.token] : this.#registeredTokens();
      const deliveries = [];
      for (const token of tokens) {
        const url = endpointOf(token);
        deliveries.push(url ? { token, ...(await postMessage(url, bytes)) }
          : { token, status: null, error: 'not a loopback endpoint' });
      }
      res.json({ deliveries });
    }, 'expected {"payload": any} or {"raw": string}, with an optional "token"'));
    router.get('/payments', (req, res) => {
      res.json({ checkouts: [...this.#checkouts], visits: this.#visits.list() });
    });
  }
}
