// Release thread: sleeps until the earliest due second or a push that
// brings an earlier one, instead of polling, so that an idle record costs
// next to nothing. The release rule itself is the waiting queue's
// (waitForDue).
#include "releaser.h"

#include <chrono>

#include "globals.h"
#include "nodes/nodeMembership.h"
#include "stopControl.h"

namespace {
// Also how late the thread can notice the stop if nothing wakes its queue.
const std::chrono::milliseconds kLongestSleep{1000};
// How soon a node that stopped starting runs sees that it may again.
const std::chrono::milliseconds kFencedPoll{200};
}  // namespace

void* thread_check_time(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);
  service due;
  while (die_kova == 0) {
    // Several hosts: nothing leaves while this node may not start runs.
    if (!nodeMayRun()) {
      sleepUnlessStopped(kFencedPoll);
      continue;
    }
    if (!core->wait_queue->waitForDue(&due, kLongestSleep)) continue;
    // Handed over to another node while it waited: it runs there now.
    if (nodeDropReleased(due.Service_id)) continue;
    // No pause after a release: a burst of due services leaves at once.
    core->execute_queue->push(std::move(due));
  }
  return nullptr;
}
