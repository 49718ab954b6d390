// `keyloom request inspect FILE|-`: a PKCS#10 request (DER, or the Base64
// text the request methods return) shown as one JSON object, its signature
// checked through the platform.
#pragma once

#include <string>
#include <vector>

// Runs a request command; returns the exit code (0 the signature holds,
// 1 it does not or the request cannot be read, 2 usage).
int RunRequestCommand(const std::vector<std::string>& args);
