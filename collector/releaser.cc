// Release thread: one locked pop-if-due per service, a 10 ms poll otherwise.
#include "releaser.h"

#include <sys/time.h>

#include <chrono>

#include "globals.h"
#include "stopControl.h"

void* thread_check_time(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);
  if (die_kova != 0) return nullptr;
  service due;
  for (;;) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (core->wait_queue->popDue(static_cast<int32_t>(now.tv_sec), &due)) {
      // No pause after a release: a burst of due services leaves at once.
      core->execute_queue->push(std::move(due));
    } else if (sleepUnlessStopped(std::chrono::milliseconds(10))) {
      break;
    }
    if (die_kova != 0) break;
  }
  return nullptr;
}
