// Declarations for keyloom.js: the Keyloom control for bank pages.

/** A failed call of the control, of the connection to it, or a step of enroll(). */
export declare class KeyloomError extends Error {
  constructor(number: number, description: string, detail?: { method?: string; step?: EnrollStep; cause?: unknown });
  readonly name: "KeyloomError";
  /** The status (HRESULT) as a signed 32-bit value, e.g. -2147024809 for 0x80070057. */
  number: number;
  /** The status as "0x" and eight lower-case hex digits, e.g. "0x80070057". */
  code: string;
  /** The control's text as it gave it (its last line may be the code). */
  description: string;
  /** The method that failed; null for a failure outside a call. */
  method: MethodName | null;
  /** The step of enroll() that failed; null outside enroll(). */
  step: EnrollStep | null;
}

export type ConnectionState = "connecting" | "open" | "closed";

export interface CloseEvent extends Event {
  /** The WebSocket close code (1006 when the connection was lost). */
  code: number;
  reason: string;
}

export interface CallOptions {
  /** Milliseconds before the call rejects with E_TIMEOUT; the connection's callTimeout by default. */
  timeout?: number;
}

/** The control's methods: each resolves with its result or rejects with a KeyloomError. */
export interface KeyloomMethods {
  ZENQ_CheckCertificateChain(): Promise<boolean>;
  /** The installed providers' names joined by "||". */
  ZENQ_GetCSPInfo(): Promise<string>;
  ZENQ_SetCSPInfo(lKeyLength: number | string, bstrCSPName: string): Promise<boolean>;
  /** "RSA" or "SM2". */
  ZENQ_SetKeyAlgorithm(bstrKeyAlgorithm: string): Promise<boolean>;
  ZENQ_GetTempPublickey(): Promise<string>;
  ZENQ_ImportEncryptCert(
    bstrEncryptedPrivateKey: string,
    bstrP7Cert: string,
    bstrContainerName: string,
    lEncryptCertPrivateKeyFlags: number | string,
  ): Promise<boolean>;
  ZENQ_GetContainer(): Promise<string>;
  /** lCertType 1: the key of a single request; 2: the signing key of a double request. */
  ZENQ_ImportSignCert(lCertType: number | string, bstrSignCert: string, bstrContainerName: string): Promise<boolean>;
  /** lCertType 1: single certificate, 2: double certificate. Resolves with the request in Base64. */
  ZENQ_PKCS10CertRequisition(
    bstrSubjectDN: string,
    lCertType: number | string,
    lSignPrivateKeyGenerateFlags: number | string,
  ): Promise<string>;
  /** Records "subject;serial;valid from;valid to;provider" joined by "||". */
  ZENQ_GetAllCertInfo(): Promise<string>;
  ZENQ_HavePermissiontoGenerateKeyPair(): Promise<boolean>;
  ZENQ_PKCS10CertRequisitionwithMD5(
    bstrSubjectDN: string,
    lCertType: number | string,
    lSignPrivateKeyGenerateFlags: number | string,
  ): Promise<string>;
  /** The text of the last status, in the language the agent chose from the page's Accept-Language. */
  GetLastErrorDesc(): Promise<string>;
}

export type MethodName = keyof KeyloomMethods;

export interface KeyloomConnection extends KeyloomMethods, EventTarget {}
/** One connection to the agent and its one control. */
export declare class KeyloomConnection extends EventTarget {
  private constructor();
  readonly state: ConnectionState;
  readonly url: string;
  /** Opens the connection again (a new control: earlier choices are gone); resolves with this connection. */
  reconnect(): Promise<KeyloomConnection>;
  /** Ends the connection; the agent releases the control. Pending calls reject. */
  close(): void;
  call<M extends MethodName>(
    method: M,
    params?: Parameters<KeyloomMethods[M]>,
    options?: CallOptions,
  ): ReturnType<KeyloomMethods[M]>;
  addEventListener(type: "open", listener: (event: Event) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: "close", listener: (event: CloseEvent) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | AddEventListenerOptions): void;
}

export interface ConnectOptions {
  /** The agent's port; 17443 by default. */
  port?: number;
  /** The agent's address: "127.0.0.1", the only one taken. */
  host?: "127.0.0.1";
  /** Milliseconds each call may take; DEFAULT_CALL_TIMEOUT by default. */
  callTimeout?: number;
  /** The language of the library's own texts ("en", "zh-CN"); the browser's by default. */
  language?: string;
}

export type EnrollStep = "select" | "request" | "issue" | "envelope" | "installSign" | "installEncrypt";

export interface EnrollProgress {
  step: EnrollStep;
  state: "running" | "done" | "failed";
  /** The step's place in ENROLL_STEPS, and how many there are. */
  index: number;
  count: number;
}

/** What the bank's server is asked for. */
export interface EnrollQuery {
  /** The double-certificate request, Base64 (it carries the temporary public key). */
  request: string;
  provider: string;
  algorithm: string;
  bits: number;
  subject: string;
}

/** The server's answer to issue(): the signing certificate (Base64 DER), with anything else it sends. */
export type IssueAnswer = string | { certificate: string };
/** The server's answer to envelope(): the encryption certificate and its key envelope. */
export type EnvelopeAnswer = { certificate: string; envelope: string };

export interface EnrollOptions<I extends IssueAnswer = IssueAnswer, E extends EnvelopeAnswer = EnvelopeAnswer> {
  /** A provider name of ZENQ_GetCSPInfo. */
  provider: string;
  /** "RSA" or "SM2". */
  algorithm: "RSA" | "SM2" | string;
  /** The key length: 256 for SM2. */
  bits: number;
  /** The subject, e.g. "CN=Li Si,O=Keyloom Bank,C=CN". */
  subject: string;
  /** Asks the bank's server to issue the signing certificate for the request. */
  issue(query: EnrollQuery): Promise<I>;
  /** Asks the bank's server for the encryption certificate and its key, enveloped for the request's temporary key. */
  envelope(query: EnrollQuery): Promise<E>;
  onProgress?(progress: EnrollProgress): void;
  /** Key-generation flags of the signing key (1: exportable); 0 by default. */
  signKeyFlags?: number;
  /** Key-import flags of the encryption key (1: exportable); 0 by default. */
  encryptKeyFlags?: number;
  /** The language of the library's own texts. */
  language?: string;
}

export interface EnrollResult<I extends IssueAnswer = IssueAnswer, E extends EnvelopeAnswer = EnvelopeAnswer> {
  /** The key container holding both key pairs. */
  container: string;
  request: string;
  signing: I extends string ? { certificate: string } : I;
  encryption: E;
}

export declare const METHODS: readonly MethodName[];
export declare const ENROLL_STEPS: readonly EnrollStep[];
export declare const DEFAULT_PORT: 17443;
export declare const AGENT_HOST: "127.0.0.1";
export declare const DEFAULT_CALL_TIMEOUT: number;
/** The agent cannot be reached, refused the page, or the connection is gone (0x800706BA, signed). */
export declare const E_AGENT_UNAVAILABLE: number;
/** A call had no answer within its timeout (0x800705B4, signed). */
export declare const E_TIMEOUT: number;
/** A step of enroll() whose callback failed (0x80004005, signed). */
export declare const E_FAIL: number;

/** "0x%08x" of a status. */
export declare function hexCode(number: number): string;
/** The signed status of an answer's "hr" text; NaN when it is not "0x" and hexadecimal digits. */
export declare function statusOf(hr: unknown): number;

export declare const Keyloom: {
  readonly METHODS: readonly MethodName[];
  readonly ENROLL_STEPS: readonly EnrollStep[];
  readonly KeyloomError: typeof KeyloomError;
  /** Resolves with the open connection; rejects with a KeyloomError when refused or unreachable. */
  connect(options?: ConnectOptions): Promise<KeyloomConnection>;
  /** The double-certificate enrollment in one call. */
  enroll<I extends IssueAnswer, E extends EnvelopeAnswer>(
    connection: KeyloomConnection,
    options: EnrollOptions<I, E>,
  ): Promise<EnrollResult<I, E>>;
};
export default Keyloom;
