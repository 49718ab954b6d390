// Declarations for keyloom.js: the Keyloom control for bank pages.

/** A failed control call, as script engines raise it. */
export interface KeyloomError extends Error {
  name: "KeyloomError";
  /** The status (HRESULT) as a signed 32-bit value, e.g. -2147024809 for 0x80070057. */
  number: number;
  /** The control's text for the status (the same as message). */
  description: string;
}

/** One control: each method resolves with its result or rejects with a KeyloomError. */
export interface KeyloomAgent {
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
  /** Ends the connection; the agent releases the control. Pending calls reject. */
  close(): void;
}

export interface ConnectOptions {
  /** The agent's port; 17443 by default. */
  port?: number;
  /** The agent's address; "127.0.0.1" by default. */
  host?: string;
  /** "auto" (default): the in-process control where the browser has ActiveXObject, else the agent. */
  transport?: "auto" | "agent" | "activex";
}

export type MethodName = Exclude<keyof KeyloomAgent, "close">;

export declare const METHODS: readonly MethodName[];
export declare const PROG_ID: "Keyloom.CryptoAgent.Tessel_V1.X64";
export declare const DEFAULT_PORT: 17443;
export declare const DEFAULT_HOST: "127.0.0.1";
/** The status of a call whose connection is gone, and of a refused connect (0x800706BA, signed). */
export declare const E_AGENT_UNAVAILABLE: number;

export declare function controlError(number: number, description: string): KeyloomError;
/** The signed status of an answer's "hr" text; NaN when it is not "0x" and hexadecimal digits. */
export declare function statusOf(hr: unknown): number;

export declare const Keyloom: {
  readonly METHODS: readonly MethodName[];
  /** Resolves with the control; rejects with a KeyloomError when refused or unreachable. */
  connect(options?: ConnectOptions): Promise<KeyloomAgent>;
};
export default Keyloom;
