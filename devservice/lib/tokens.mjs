// Access-token checks for the parts of the service that play resource servers (/mcp,
// /push-token): the provider's own RS256 JWTs, checked with node:crypto alone because Node 18
// has no global WebCrypto for the jose versions that the MCP SDK brings.

import { createPublicKey, verify } from 'node:crypto';

import { InvalidTokenError } from '@modelcontextprotocol/sdk/server/auth/errors.js';

function decodeJson(segment) {
  if (!/^[A-Za-z0-9_-]+$/.test(segment)) throw new InvalidTokenError('Malformed token');
  let value;
  try {
    value = JSON.parse(Buffer.from(segment, 'base64url').toString('utf8'));
  } catch {
    throw new InvalidTokenError('Malformed token');
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    throw new InvalidTokenError('Malformed token');
  }
  return value;
}

// An OAuthTokenVerifier for the SDK's requireBearerAuth. Only a bad or expired token raises
// InvalidTokenError; any other fault escapes, and the middleware answers it with a 500.
export function createTokenVerifier({
  issuer, audience, jwks, now = () => Date.now() / 1000,
}) {
  // Keys are imported once: a broken key is the service's fault, found at start.
  const keys = new Map(jwks.map((jwk) => [jwk.kid, createPublicKey({ key: jwk, format: 'jwk' })]));

  return {
    async verifyAccessToken(token) {
      const parts = token.split('.');
      if (parts.length !== 3) throw new InvalidTokenError('Malformed token');
      const [headerText, payloadText, signatureText] = parts;
      const header = decodeJson(headerText);
      const claims = decodeJson(payloadText);
      if (header.alg !== 'RS256') throw new InvalidTokenError('Unexpected signing algorithm');
      const key = keys.get(header.kid);
      if (!key) throw new InvalidTokenError('Unknown signing key');
      if (!/^[A-Za-z0-9_-]+$/.test(signatureText)) throw new InvalidTokenError('Malformed token');
      const signed = Buffer.from(`${headerText}.${payloadText}`, 'ascii');
      if (!verify('sha256', signed, key, Buffer.from(signatureText, 'base64url'))) {
        throw new InvalidTokenError('Bad signature');
      }
      if (claims.iss !== issuer) throw new InvalidTokenError('Wrong issuer');
      const audiences = Array.isArray(claims.aud) ? claims.aud : [claims.aud];
      if (!audiences.includes(audience)) throw new InvalidTokenError('Token was not issued for this resource');
      if (typeof claims.exp !== 'number' || claims.exp <= now()) throw new InvalidTokenError('Token has expired');
      return {
        token,
        clientId: typeof claims.client_id === 'string' ? claims.client_id : '',
        scopes: typeof claims.scope === 'string' ? claims.scope.split(' ').filter(Boolean) : [],
        expiresAt: claims.exp,
        resource: new URL(audience),
        extra: { sub: claims.sub, email: claims.email },
      };
    },
  };
}
