// `testca serve`: the demo site (Site.h) over HTTP/1.1, or HTTP/1.1 over
// TLS, on loopback addresses only.
#pragma once

namespace testca {

// Reads the options after "serve" (argv[2] onwards):
//   --dir DIR      the hierarchy folder (required)
//   --port P       the port (required; 0 picks a free one)
//   --bind ADDR    a loopback address to listen on, repeatable (default 127.0.0.1)
//   --web DIR      the folder holding keyloom.js and demo/ (default: the
//                  source tree's web/ the binary was built from)
//   --max-connections N   connections served at a time (default 64, at most
//                  1024); one more is answered 503 and closed
//   --idle-timeout S      seconds a connection may take to send a whole
//                  request, and an answer to be written (default 10)
//   --tls          https instead of http, with a certificate for the bound
//                  addresses and "localhost" issued at start by DIR's RSA
//                  intermediate (SiteTls.h); its key is kept in memory only
//                  and its pin printed first ("testca serve: the site's key,
//                  SHA-256 of its SubjectPublicKeyInfo: BASE64")
// Checks that both hierarchies of DIR load and that the page is there,
// listens, prints one line "testca serve: ready on http://ADDR:PORT/" (or https) per
// address on standard output, and serves until the process is stopped.
// Each connection has a thread of its own. Returns 2 on a usage
// error and 1 when it cannot start (the reason on standard error); it does
// not return otherwise.
int ServeCommand(int argc, char** argv);

}  // namespace testca
