// One express application holds every part of the local service; each part mounts under its own
// path prefix.

import express from 'express';

import { Backend } from './backend.mjs';
import { TestControls } from './controls.mjs';
import { logLine, requestLogger } from './log.mjs';
import { McpService } from './mcp.mjs';
import {
  REVOCATION_PATH, TOKEN_PATH, createProvider, publicJwk, signingKey,
} from './provider.mjs';
import { createTokenVerifier } from './tokens.mjs';

export function createApp({
  port, realm, accessTokenTtl, refreshTokenTtl,
}) {
  const origin = `http://127.0.0.1:${port}`;
  const realmPath = `/realms/${realm}`;
  const issuer = `${origin}${realmPath}`;
  const resource = `${origin}/mcp`;
  const keys = [signingKey()];
  const verifier = createTokenVerifier({ issuer, audience: resource, jwks: keys.map(publicJwk) });
  const backend = new Backend({ origin, verifier });
  const mcp = new McpService({ verifier, newCheckoutUrl: () => backend.newCheckoutUrl() });
  const controls = new TestControls({ parts: [mcp, backend] });
  const provider = createProvider({
    issuer,
    resource,
    accessTokenTtl,
    refreshTokenTtl,
    keys,
    hooks: [controls.tokenEndpointHook(TOKEN_PATH, REVOCATION_PATH)],
  });

  // Error names and fixed descriptions only: the objects themselves may hold request data.
  for (const event of ['grant.error', 'authorization.error', 'server_error']) {
    provider.on(event, (ctx, err) => {
      logLine(`provider ${event}: ${err.error || err.name}${err.error_detail ? ` (${err.error_detail})` : ''}`);
    });
  }

  const app = express();
  app.disable('x-powered-by');
  app.use(requestLogger());
  app.use('/test', controls.router());
  app.use('/mcp', mcp.router());
  app.use(backend.router());
  app.use(realmPath, provider.callback());
  return {
    app, provider, controls, mcp, backend, issuer: provider.issuer,
  };
}
