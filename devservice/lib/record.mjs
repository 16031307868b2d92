// Pieces shared by the test controls: bounded records of requests, and validated control bodies.

const MAX_RECORDED = 1000;

export class RecordList {
  #entries = [];
  #seq = 0;

  // Entries are live: their owner fills in the answer later.
  add(entry) {
    this.#seq += 1;
    const recorded = { seq: this.#seq, time: new Date().toISOString(), ...entry };
    this.#entries.push(recorded);
    if (this.#entries.length > MAX_RECORDED) this.#entries.shift();
    return recorded;
  }

  list() {
    return this.#entries;
  }

  get count() {
    return this.#seq;
  }

  clear() {
    this.#entries = [];
    this.#seq = 0;
  }
}

// Header names in the order they came, as sent on the wire but lower-cased.
export function headerNames(req) {
  return req.rawHeaders.filter((_, i) => i % 2 === 0).map((name) => name.toLowerCase());
}

// An express handler for a control: its JSON body checked against a zod schema first. A refused
// body is answered with usage when given (clearer than what a union reports), else the issues.
export function parseControl(schema, handle, usage) {
  return async (req, res) => {
    const parsed = schema.safeParse(req.body ?? {});
    if (!parsed.success) {
      const problems = parsed.error.issues.map((issue) => `${issue.path.join('.') || 'body'}: ${issue.message}`);
      res.status(400).json({ error: usage ?? problems.join('; ') });
      return;
    }
    await handle(parsed.data, res);
  };
}
