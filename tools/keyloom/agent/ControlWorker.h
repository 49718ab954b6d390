// One control per connection, on a thread of its own that serves the
// connection's calls in order (the apartment rule of the control).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "keyloom/ModuleLoader.h"
#include "keyloom/agent/Protocol.h"

// The loaded module and its soft-only SetThreadUILanguage export (null when
// the module has none).
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
std::shared_ptr<ControlWorker> StartControlWorker(const AgentModule& module, bool chinese,
                                                  AnswerSink answer, FinishedSink finished);

// Queues one item for the worker; ignored once it is stopping.
void EnqueueWork(ControlWorker& worker, WorkItem item);

// Asks the worker to finish: queued items are dropped, a call under way
// completes first.
void StopControlWorker(ControlWorker& worker);

// Serves one item on `control` (null: only faults are answered) and returns
// the answer's text. For the worker's thread, and for tests.
std::string ServeItem(IDispatch* control, const WorkItem& item, bool chinese);
