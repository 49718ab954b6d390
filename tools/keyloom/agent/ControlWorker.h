// One control per connection, on a thread of its own that serves the
// connection's calls in order (the apartment rule of the control).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "keyloom/ModuleLoader.h"
#include "keyloom/agent/Protocol.h"

// The loaded module and its soft-only SetThreadUILanguage export (null when
// the module has none). POSIX only: the Windows agent creates the
// registered class and sets languages through the system, leaving both null.
struct AgentModule {
  const LoadedModule* module = nullptr;
  LANGID (*SetThreadUILanguage)(LANGID) = nullptr;
};

// One message for the control's thread: its text, or the fault the reader
// already found (then `text` is empty).
struct WorkItem {
  std::string text;
  std::optional<AgentFault> fault;
};

// The key-creating calls of one connection in the last minute
// (ZENQ_PKCS10CertRequisition, its MD5 form and ZENQ_GetTempPublickey each
// make a key container and a diagnostic file). `perMinute` 0: no limit.
struct KeyQuota {
  unsigned perMinute = 0;
  std::deque<std::chrono::steady_clock::time_point> made;
};

// True when `method` (any case) makes a key and so counts against the quota.
bool MakesKey(std::string_view method);

// Takes one key of the quota at `now`: false, taking nothing, when
// `perMinute` keys were taken in the minute before `now`.
bool TakeKey(KeyQuota& quota, std::chrono::steady_clock::time_point now);

// The shared state of one connection's thread. Its members are guarded by
// `mutex`; `thread` belongs to whoever started it and must be joined.
struct ControlWorker {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<WorkItem> queue;
  bool stopping = false;
  std::thread thread;
};

// Called on the worker's thread with each answer's text, in order.
using AnswerSink = std::function<void(std::string answer)>;
// Called on the worker's thread as its last act, with the worker: `created`
// is false when the control could not be made (then no item was served).
using FinishedSink = std::function<void(ControlWorker* worker, bool created)>;

// Starts the thread of one connection: it sets its UI language (Simplified
// Chinese when `chinese`, else English) so that the control's texts follow
// the page, creates one control through the module's class factory, then
// answers the queued items in order until StopControlWorker. It releases the
// control before `finished`. The module must stay loaded until the returned
// worker's thread is joined.
// `keysPerMinute` bounds the connection's key-creating calls (0: none);
// those beyond it are answered with kKeyQuotaExceeded.
std::shared_ptr<ControlWorker> StartControlWorker(const AgentModule& module, bool chinese,
                                                  unsigned keysPerMinute, AnswerSink answer,
                                                  FinishedSink finished);

// Queues one item for the worker; ignored once it is stopping.
void EnqueueWork(ControlWorker& worker, WorkItem item);

// Asks the worker to finish: queued items are dropped, a call under way
// completes first.
void StopControlWorker(ControlWorker& worker);

// Serves one item on `control` (null: only faults are answered) and returns
// the answer's text; a key-creating call first takes one of `quota` (null:
// no limit). For the worker's thread.
std::string ServeItem(IDispatch* control, const WorkItem& item, bool chinese, KeyQuota* quota);
