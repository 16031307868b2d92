// The MCP server at /mcp, built on the official SDK the way its Streamable HTTP examples are:
// one transport and one McpServer per session, sessions kept in a map by id, bearer tokens from
// the local provider. Around it: a record of every HTTP request and faults injected into POSTs.

import { STATUS_CODES } from 'node:http';
import { randomUUID, webcrypto } from 'node:crypto';

import express from 'express';
import { requireBearerAuth } from '@modelcontextprotocol/sdk/server/auth/middleware/bearerAuth.js';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { localhostHostValidation } from '@modelcontextprotocol/sdk/server/middleware/hostHeaderValidation.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';

import { logLine } from './log.mjs';
import { RecordList, headerNames, parseControl } from './record.mjs';

// The SDK's transport names each answer stream with the global crypto.randomUUID(), which
// Debian's Node 18 does not have: every request with an id would answer 400. @hono/node-server
// 1.x (pinned in package.json) puts one there, 2.x (Node 20 and later) no longer does.
if (!globalThis.crypto) globalThis.crypto = webcrypto;

const MAX_SESSIONS = 1000;
const MAX_PENDING = 1000;

export const SUBSCRIPTION_ACTIVE = '✅ 訂閱有效\n方案：Mirrowen 年訂閱\n到期日：2027-12-31';
export const SUBSCRIPTION_INACTIVE = '❌ 尚未訂閱\n訂閱後即可使用完整知識庫\n請使用「訂閱」功能完成付款';

const FailNext = z.object({
  count: z.number().int().min(1).max(100),
  mode: z.enum(['status']),
  status: z.number().int().min(400).max(599).optional(),
}).strict();

function jsonRpcError(res, status, code, message) {
  res.status(status).json({ jsonrpc: '2.0', error: { code, message }, id: null });
}

export class McpService {
  #bearer;
  #newCheckoutUrl;
  #sessions = new Map();
  #requests = new RecordList();
  #faults = [];
  #subscriptionActive = true;
  #answerMode = 'sse';

  constructor({ verifier, newCheckoutUrl }) {
    this.#bearer = requireBearerAuth({ verifier });
    this.#newCheckoutUrl = newCheckoutUrl;
  }

  async reset() {
    await this.#dropSessions();
    this.#requests.clear();
    this.#faults = [];
    this.#subscriptionActive = true;
    this.#answerMode = 'sse';
  }

  // As a restart would: open streams end, later messages with these ids get 404.
  async #dropSessions() {
    const sessions = [...this.#sessions.values()];
    this.#sessions.clear();
    await Promise.all(sessions.map(({ server }) => server.close()));
  }

  #subscriptionText() {
    return this.#subscriptionActive ? SUBSCRIPTION_ACTIVE : SUBSCRIPTION_INACTIVE;
  }

  #checkoutAnswer() {
    return `請在此頁面完成付款：${this.#newCheckoutUrl()} 付款完成後即可使用。`;
  }

  #newServer() {
    const server = new McpServer({ name: 'zandorin-devservice', version: '0.1.0' });
    const text = (value) => ({ content: [{ type: 'text', text: value }] });
    server.registerTool('check_subscription_status', {
      description: '查詢目前帳號的訂閱狀態',
    }, async () => text(this.#subscriptionText()));
    server.registerTool('create_checkout', {
      description: '建立付款頁面，回覆付款連結',
      inputSchema: { invoice_type: z.enum(['donate']) },
    }, async () => text(this.#checkoutAnswer()));
    return server;
  }

  // Every HTTP request on /mcp, in the order they came; the status once headers go out (an open
  // event stream shows its status while it lasts).
  #record(req, res, next) {
    const entry = this.#requests.add({
      http_method: req.method,
      connection: req.socket?.connectionNumber ?? null,
      rpc_method: null,
      rpc_id: null,
      tool: null,
      session_id: req.get('mcp-session-id') ?? null,
      protocol_version: req.get('mcp-protocol-version') ?? null,
      authorization: req.get('authorization') !== undefined,
      bearer_valid: null,
      accept: req.get('accept') ?? null,
      content_type: req.get('content-type') ?? null,
      header_names: headerNames(req),
      injected: null,
      status: null,
      closed_without_answer: false,
    });
    const { writeHead } = res;
    res.writeHead = function recordStatus(status, ...rest) {
      entry.status = status;
      return writeHead.call(this, status, ...rest);
    };
    res.on('close', () => {
      if (!res.headersSent) entry.closed_without_answer = true;
    });
    res.locals.mcpEntry = entry;
    next();
  }

  static #describeBody(entry, body) {
    const message = Array.isArray(body) ? body[0] : body;
    if (!message || typeof message !== 'object') return;
    if (typeof message.method === 'string') entry.rpc_method = message.method;
    if (typeof message.id === 'string' || typeof message.id === 'number') entry.rpc_id = message.id;
    if (message.method === 'tools/call' && typeof message.params?.name === 'string') entry.tool = message.params.name;
  }

  #injectFault(req, res, next) {
    const fault = req.method === 'POST' ? this.#faults.shift() : undefined;
    if (!fault) {
      next();
      return;
    }
    res.locals.mcpEntry.injected = fault.mode;
    res.status(fault.status).type('text/plain').send(`${STATUS_CODES[fault.status] ?? 'Injected failure'}\n`);
  }

  async #authenticate(req, res, next) {
    const entry = res.locals.mcpEntry;
    entry.bearer_valid = false;
    await this.#bearer(req, res, () => {
      entry.bearer_valid = true;
      next();
    });
  }

  async #post(req, res) {
    const sessionId = req.get('mcp-session-id');
    const session = sessionId ? this.#sessions.get(sessionId) : undefined;
    if (session) {
      await session.transport.handleRequest(req, res, req.body);
    } else if (!sessionId && isInitializeRequest(req.body)) {
      if (this.#sessions.size >= MAX_SESSIONS) {
        jsonRpcError(res, 503, -32000, 'Too many open sessions');
        return;
      }
      const mode = this.#answerMode;
      const server = this.#newServer();
      const transport = new StreamableHTTPServerTransport({
        sessionIdGenerator: () => randomUUID(),
        enableJsonResponse: mode === 'json',
        onsessioninitialized: (id) => {
          this.#sessions.set(id, { transport, server });
          logLine(`mcp session ${id} opened (${mode} answers)`);
        },
      });
      transport.onclose = () => {
        const id = transport.sessionId;
        if (id && this.#sessions.get(id)?.transport === transport) this.#sessions.delete(id);
      };
      await server.connect(transport);
      await transport.handleRequest(req, res, req.body);
    } else if (sessionId) {
      jsonRpcError(res, 404, -32001, 'Session not found');
    } else {
      jsonRpcError(res, 400, -32000, 'Bad Request: No valid session ID provided');
    }
  }

  // GET (the server's own event stream) and DELETE (end of session).
  async #withSession(req, res) {
    const sessionId = req.get('mcp-session-id');
    if (!sessionId) {
      res.status(400).type('text/plain').send('Missing session ID');
      return;
    }
    const session = this.#sessions.get(sessionId);
    if (!session) {
      jsonRpcError(res, 404, -32001, 'Session not found');
      return;
    }
    await session.transport.handleRequest(req, res);
  }

  router() {
    const router = express.Router();
    router.use((req, res, next) => this.#record(req, res, next));
    router.use(localhostHostValidation());
    router.use(express.json({ limit: '4mb' }));
    router.use((req, res, next) => {
      McpService.#describeBody(res.locals.mcpEntry, req.body);
      next();
    });
    router.use((req, res, next) => this.#injectFault(req, res, next));
    router.use((req, res, next) => this.#authenticate(req, res, next));
    router.post('/', (req, res) => this.#post(req, res));
    router.get('/', (req, res) => this.#withSession(req, res));
    router.delete('/', (req, res) => this.#withSession(req, res));
    router.all('/', (req, res) => {
      res.set('allow', 'GET, POST, DELETE');
      jsonRpcError(res, 405, -32000, 'Method not allowed.');
    });
    router.use((err, req, res, next) => { // eslint-disable-line no-unused-vars
      if (res.headersSent) {
        res.destroy();
      } else if (err.type === 'entity.parse.failed') {
        jsonRpcError(res, 400, -32700, 'Parse error: Invalid JSON');
      } else if (err.type === 'entity.too.large') {
        jsonRpcError(res, 413, -32000, 'Request body too large');
      } else {
        logLine(`mcp: ${err.name}: ${err.message}`);
        jsonRpcError(res, 500, -32603, 'Internal server error');
      }
    });
    return router;
  }

  controls(router) {
    router.post('/mcp/subscription', parseControl(z.object({ active: z.boolean() }).strict(), (body, res) => {
      this.#subscriptionActive = body.active;
      res.json({ active: this.#subscriptionActive });
    }));
    router.post('/mcp/answer-mode', parseControl(z.object({ mode: z.enum(['sse', 'json']) }).strict(), (body, res) => {
      this.#answerMode = body.mode;
      res.json({ mode: this.#answerMode });
    }));
    router.post('/mcp/fail-next', parseControl(FailNext, (body, res) => {
      if (this.#faults.length + body.count > MAX_PENDING) {
        res.status(400).json({ error: `at most ${MAX_PENDING} pending failures` });
        return;
      }
      const fault = { mode: body.mode, status: body.status ?? 503 };
      for (let i = 0; i < body.count; i += 1) this.#faults.push(fault);
      res.json({ pending: this.#faults.length });
    }));
    router.get('/mcp/requests', (req, res) => {
      res.json({ requests: this.#requests.list(), sessions: this.#sessions.size });
    });
  }
}
