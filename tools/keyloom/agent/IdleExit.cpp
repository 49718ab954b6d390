// The idle exit of a socket-started agent (Activation.h): plain Asio, the
// same on every platform.
#include "keyloom/agent/Activation.h"

#include <cstdio>

namespace net = boost::asio;

// Counts as one connection closing, so the wait starts with no connection.
IdleExit::IdleExit(net::io_context& io, unsigned s, std::function<void()> f)
    : timer(io), seconds(s), open(1), stop(std::move(f)) {
  IdleExitClosed(this);
}

void IdleExitOpened(IdleExit* idle) {
  if (idle == nullptr) return;
  ++idle->open;
  idle->timer.cancel();
}

void IdleExitClosed(IdleExit* idle) {
  if (idle == nullptr || idle->open == 0 || --idle->open > 0 || idle->stopped) return;
  idle->timer.expires_after(std::chrono::seconds(idle->seconds));
  idle->timer.async_wait([idle](boost::system::error_code ec) {
    if (ec || idle->open != 0) return;
    std::fprintf(stderr, "keyloom agent: no connection for %u s; exiting\n", idle->seconds);
    idle->stop();
  });
}

void IdleExitStop(IdleExit* idle) {
  if (idle == nullptr) return;
  idle->stopped = true;
  idle->timer.cancel();
}
