// The agent's admission rules for a WebSocket handshake, applied before any
// control exists: which Host and Origin headers it answers, and the language
// a connection's texts are in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// True when `host` (a Host header's value) names this agent directly:
// "127.0.0.1:PORT", "[::1]:PORT" or "localhost:PORT" (the name without
// regard to case), PORT being `port` in decimal without leading zeros.
// Any other name is refused, so that a page reaching the agent through a
// name it controls (DNS rebinding) never gets a control.
bool IsAgentHost(std::string_view host, unsigned port);

// True when `origin` has the form a browser sends: "http://HOST" or
// "https://HOST" with an optional ":PORT", HOST a DNS name, an IPv4 address
// or a bracketed IPv6 address; no user information, path, query or
// fragment. "null" and every other form are false.
bool IsOriginShaped(std::string_view origin);

// True when `origin` is shaped as IsOriginShaped wants and the platform's
// zone manager (MapUrlToZone over the user's site mappings) puts it in the
// trusted-sites zone. False on any failure of the platform.
bool IsTrustedOrigin(std::string_view origin);

// The agent's own admission rule, stricter than the zone: an "https://"
// origin of the trusted-sites zone, or an origin that `allowed` names
// exactly (scheme, host and port; scheme and host without regard to case).
// Registration maps the bank's sites for plain http too, which a network
// attacker can forge, so a plain http origin needs the configuration.
bool IsAdmittedOrigin(std::string_view origin, const std::vector<std::string>& allowed);

// True when `target` (a request line's target) is in origin form: an
// absolute path, with an optional query. The absolute form
// ("http://host/"), the authority form and "*" are false.
bool IsOriginFormTarget(std::string_view target);

// True when the Accept-Language value `header` prefers Simplified Chinese
// among the languages the control speaks: the tags are ranked by their
// q-values (ties in written order, q=0 excluded) and the first tag that is
// English ("en", "en-*") or Simplified Chinese ("zh", "zh-CN", "zh-SG",
// "zh-Hans*") decides. Other tags (including "zh-TW", "zh-Hant") are
// skipped; no such tag at all means English.
bool PrefersSimplifiedChinese(std::string_view header);
