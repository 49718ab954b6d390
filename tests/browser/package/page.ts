// A bank's page written against the packed package, type-checked with
// tsc --strict and bundled with esbuild: an RSA enrollment through
// Keyloom.enroll(), reported on the page for the test to read (a refused
// step's KeyloomError is keyloom.test.js's).
import Keyloom, { KeyloomError, type EnrollProgress, type EnrollQuery, type KeyloomConnection } from "keyloom";

// @ts-expect-error: the agent is reached at 127.0.0.1 only
void Keyloom.connect({ host: "localhost" });

async function post<T>(path: string, query: EnrollQuery): Promise<T> {
  const response = await fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ request: query.request, algorithm: query.algorithm, bits: query.bits }),
  });
  const answer = (await response.json()) as T & { error?: string };
  if (!response.ok) throw new Error(answer.error ?? `HTTP ${response.status}`);
  return answer;
}

type Issued = { certificate: string; serial: string };

async function main(): Promise<unknown> {
  const port = Number(new URLSearchParams(location.search).get("agent"));
  const agent: KeyloomConnection = await Keyloom.connect({ port, callTimeout: 120_000 });
  const steps: string[] = [];
  try {
    const result = await Keyloom.enroll(agent, {
      provider: "Microsoft Enhanced Cryptographic Provider v1.0",
      algorithm: "RSA",
      bits: 2048,
      subject: "CN=Package RSA,O=Keyloom Bank,C=CN",
      issue: (query) => post<Issued>("/api/issue", query),
      envelope: (query) => post<Issued & { envelope: string }>("/api/envelope", query),
      onProgress: (p: EnrollProgress) => steps.push(`${p.step}:${p.state}`),
    });
    const serial: string = result.signing.serial;
    return { rsa: { container: result.container, signing: serial, encryption: result.encryption.serial, steps } };
  } catch (e) {
    if (e instanceof KeyloomError) return { error: `${e.step} ${e.code} ${e.message}` };
    throw e;
  }
}

main().then(
  (outcome) => (document.body.dataset.outcome = JSON.stringify(outcome)),
  (e: unknown) => (document.body.dataset.outcome = JSON.stringify({ error: String(e) })),
);
