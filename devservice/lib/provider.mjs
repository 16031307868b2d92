// The OpenID Connect provider, laid out like a Keycloak realm: the paths, the public native
// client with PKCE, JWT access tokens and refresh tokens as the application gets them there.

import { generateKeyPairSync, randomUUID } from 'node:crypto';

import Provider from 'oidc-provider';

export const CLIENT_ID = 'zandorin-mcp';
export const REDIRECT_URI = 'zandorin-auth://callback';
export const AUTHORIZATION_PATH = '/protocol/openid-connect/auth';
export const TOKEN_PATH = '/protocol/openid-connect/token';
export const REVOCATION_PATH = '/protocol/openid-connect/revoke';

// Made at start, so tokens do not survive a restart. The public half goes to the parts of the
// service that accept the tokens.
export function signingKey() {
  const { privateKey } = generateKeyPairSync('rsa', { modulusLength: 2048 });
  return { ...privateKey.export({ format: 'jwk' }), kid: randomUUID(), use: 'sig', alg: 'RS256' };
}

export function publicJwk({
  kty, n, e, kid, use, alg,
}) {
  return {
    kty, n, e, kid, use, alg,
  };
}

export function accountClaims(login) {
  return { sub: login, email: `${login}@example.com`, email_verified: true, preferred_username: login };
}

export function createProvider({
  issuer, resource, accessTokenTtl, refreshTokenTtl, keys, hooks = [],
}) {
  const configuration = {
    clients: [{
      client_id: CLIENT_ID,
      client_name: 'ZandorinAuth',
      // 'web' clients may only redirect to http(s); the app is a native client with a private
      // scheme.
      application_type: 'native',
      token_endpoint_auth_method: 'none',
      grant_types: ['authorization_code', 'refresh_token'],
      response_types: ['code'],
      redirect_uris: [REDIRECT_URI],
    }],
    cookies: { keys: ['zandorin-devservice-cookies-are-not-secret'] },
    jwks: { keys },
    routes: {
      authorization: AUTHORIZATION_PATH,
      token: TOKEN_PATH,
      revocation: REVOCATION_PATH,
      jwks: '/protocol/openid-connect/certs',
      userinfo: '/protocol/openid-connect/userinfo',
      end_session: '/protocol/openid-connect/logout',
    },
    responseTypes: ['code'],
    scopes: ['openid', 'offline_access', 'email', 'profile'],
    claims: {
      openid: ['sub'],
      email: ['email', 'email_verified'],
      profile: ['preferred_username'],
    },
    pkce: { methods: ['S256'], required: () => true },
    features: {
      devInteractions: { enabled: true },
      // RFC 7009: the application revokes its refresh token when the user signs out.
      revocation: { enabled: true },
      resourceIndicators: {
        enabled: true,
        defaultResource: () => resource,
        useGrantedResource: () => true,
        getResourceServerInfo: () => ({
          scope: 'openid offline_access',
          audience: resource,
          accessTokenFormat: 'jwt',
          jwt: { sign: { alg: 'RS256' } },
        }),
      },
    },
    // The provider drops offline_access unless the request says prompt=consent, which the app
    // (like Keycloak's clients) never sends; Keycloak hands out refresh tokens all the same.
    issueRefreshToken: async (ctx, client) => client.grantTypeAllowed('refresh_token'),
    // ... and they must survive the browser session, as offline tokens do.
    expiresWithSession: async () => false,
    extraTokenClaims: async (ctx, token) => {
      if (!token.accountId) return undefined;
      const { email, preferred_username: preferredUsername } = accountClaims(token.accountId);
      return { email, preferred_username: preferredUsername };
    },
    findAccount: async (ctx, sub) => ({
      accountId: sub,
      claims: async () => accountClaims(sub),
    }),
    ttl: {
      AccessToken: accessTokenTtl,
      AuthorizationCode: 60,
      IdToken: 3600,
      RefreshToken: refreshTokenTtl,
      Interaction: 3600,
      Session: 14 * 24 * 3600,
      Grant: Math.max(refreshTokenTtl, 14 * 24 * 3600),
    },
  };

  const provider = new Provider(issuer, configuration);

  // Native clients must use a private scheme with a dot in it ("com.example.app:/"); Keycloak
  // has no such rule and the app's scheme has none. The schema's documented hook for relaxing a
  // check is its invalidate method; this lets exactly that one rule pass.
  const { invalidate } = provider.Client.Schema.prototype;
  provider.Client.Schema.prototype.invalidate = function invalidateExceptSchemeRule(message, code) {
    if (/Custom URI scheme should use reverse domain name based scheme$/.test(message)) return;
    invalidate.call(this, message, code);
  };
  for (const hook of hooks) provider.use(hook);
  return provider;
}
