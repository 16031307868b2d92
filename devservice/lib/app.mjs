// One express application holds every part of the local service; each part mounts under its own
// path prefix.

import express from 'express';

import { TestControls } from './controls.mjs';
import { logLine, requestLogger } from './log.mjs';
import { TOKEN_PATH, createProvider } from './provider.mjs';

export function createApp({
  port, realm, accessTokenTtl, refreshTokenTtl,
}) {
  const origin = `http://127.0.0.1:${port}`;
  const realmPath = `/realms/${realm}`;
  const controls = new TestControls();
  const provider = createProvider({
    issuer: `${origin}${realmPath}`,
    resource: `${origin}/mcp`,
    accessTokenTtl,
    refreshTokenTtl,
    hooks: [controls.tokenEndpointHook(TOKEN_PATH)],
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
  app.use(realmPath, provider.callback());
  return { app, provider, controls, issuer: provider.issuer };
}
