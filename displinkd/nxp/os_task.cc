// Tasks of the transmitter library: a table of slots, each recording its function, priority
// and stack size, started on a POSIX thread with default attributes.
#include "hdtx_os.h"

#include <array>
#include <mutex>
#include <pthread.h>

namespace {

struct task_slot {
  bool used = false;
  bool started = false;
  hdtx_os_task_func function = nullptr;
  unsigned priority = 0;
  unsigned stack_size = 0;
  pthread_t thread{};
};

std::mutex table_mutex;
std::array<task_slot, HDTX_OS_TASKS> table;

void *run(void *arg) {
  reinterpret_cast<hdtx_os_task_func>(arg)();
  return nullptr;
}

} // namespace

hdtx_err hdtx_os_task_create(hdtx_os_task_func function, unsigned priority, unsigned stack_size,
                             unsigned *number) {
  if (function == nullptr || number == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  std::lock_guard lock(table_mutex);
  for (unsigned i = 0; i < table.size(); ++i) {
    if (table[i].used)
      continue;
    table[i] = task_slot{true, false, function, priority, stack_size, {}};
    *number = i;
    return HDTX_OK;
  }
  return HDTX_ERR_NO_RESOURCES;
}

hdtx_err hdtx_os_task_start(unsigned number) {
  std::lock_guard lock(table_mutex);
  if (number >= table.size() || !table[number].used)
    return HDTX_ERR_BAD_OS_OBJECT;
  task_slot &t = table[number];
  if (t.started)
    return HDTX_ERR_TASK_STARTED;
  int rc = pthread_create(&t.thread, nullptr, run, reinterpret_cast<void *>(t.function));
  if (rc != 0) {
    hdtx_os_log_error(__func__, __LINE__, rc);
    return HDTX_ERR_THREAD_CREATION;
  }
  t.started = true;
  return HDTX_OK;
}

hdtx_err hdtx_os_task_destroy(unsigned number) {
  std::lock_guard lock(table_mutex);
  if (number >= table.size() || !table[number].used)
    return HDTX_ERR_BAD_OS_OBJECT;
  task_slot &t = table[number];
  if (t.started) {
    int rc = pthread_detach(t.thread);
    if (rc != 0)
      hdtx_os_log_error(__func__, __LINE__, rc);
  }
  t = task_slot{};
  return HDTX_OK;
}

hdtx_err hdtx_os_task_join(unsigned number) {
  pthread_t thread{};
  bool started = false;
  {
    std::lock_guard lock(table_mutex);
    if (number >= table.size() || !table[number].used)
      return HDTX_ERR_BAD_OS_OBJECT;
    started = table[number].started;
    thread = table[number].thread;
  }
  if (started && pthread_equal(thread, pthread_self()))
    return hdtx_os_task_destroy(number);
  if (started) {
    int rc = pthread_join(thread, nullptr);
    if (rc != 0) {
      hdtx_os_log_error(__func__, __LINE__, rc);
      return HDTX_ERR_BAD_OS_OBJECT;
    }
  }
  std::lock_guard lock(table_mutex);
  table[number] = task_slot{};
  return HDTX_OK;
}
