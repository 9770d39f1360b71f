// Semaphores of the transmitter library: POSIX unnamed semaphores in a table of slots, each
// starting at 1 so that it serves as a lock.
#include "hdtx_os.h"

#include <array>
#include <cerrno>
#include <mutex>
#include <semaphore.h>

namespace {

struct semaphore_slot {
  bool used = false;
  sem_t sem{};
};

std::mutex table_mutex;
std::array<semaphore_slot, HDTX_OS_SEMAPHORES> table;

// The semaphore of a used slot, or null. The slot itself never moves, so the pointer stays
// good while the owner keeps the semaphore.
sem_t *lookup(unsigned number) {
  std::lock_guard lock(table_mutex);
  if (number >= table.size() || !table[number].used)
    return nullptr;
  return &table[number].sem;
}

} // namespace

hdtx_err hdtx_os_semaphore_create(unsigned *number) {
  if (number == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  std::lock_guard lock(table_mutex);
  for (unsigned i = 0; i < table.size(); ++i) {
    if (table[i].used)
      continue;
    if (sem_init(&table[i].sem, 0, 1) != 0) {
      hdtx_os_log_error(__func__, __LINE__, errno);
      return HDTX_ERR_SEMAPHORE;
    }
    table[i].used = true;
    *number = i;
    return HDTX_OK;
  }
  return HDTX_ERR_NO_RESOURCES;
}

hdtx_err hdtx_os_semaphore_destroy(unsigned number) {
  std::lock_guard lock(table_mutex);
  if (number >= table.size() || !table[number].used)
    return HDTX_ERR_BAD_OS_OBJECT;
  table[number].used = false;
  if (sem_destroy(&table[number].sem) != 0) {
    hdtx_os_log_error(__func__, __LINE__, errno);
    return HDTX_ERR_SEMAPHORE;
  }
  return HDTX_OK;
}

hdtx_err hdtx_os_semaphore_p(unsigned number) {
  sem_t *sem = lookup(number);
  if (sem == nullptr)
    return HDTX_ERR_BAD_OS_OBJECT;
  while (sem_wait(sem) != 0) {
    if (errno != EINTR) {
      hdtx_os_log_error(__func__, __LINE__, errno);
      return HDTX_ERR_SEMAPHORE;
    }
  }
  return HDTX_OK;
}

hdtx_err hdtx_os_semaphore_v(unsigned number) {
  sem_t *sem = lookup(number);
  if (sem == nullptr)
    return HDTX_ERR_BAD_OS_OBJECT;
  if (sem_post(sem) != 0) {
    hdtx_os_log_error(__func__, __LINE__, errno);
    return HDTX_ERR_SEMAPHORE;
  }
  return HDTX_OK;
}
