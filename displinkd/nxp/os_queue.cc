// Message queues of the transmitter library: rings of one-byte messages in a table of slots.
// The access semaphore guards the ring's indices; the count semaphore holds one unit per
// waiting message, so a receiver sleeps while the ring is empty.
#include "hdtx_os.h"

#include <array>
#include <cerrno>
#include <mutex>
#include <semaphore.h>
#include <syslog.h>

namespace {

inline constexpr unsigned max_queue_size = 255;

struct queue_slot {
  bool used = false;
  unsigned size = 0;
  unsigned read_index = 0;
  unsigned write_index = 0;
  unsigned count = 0;
  sem_t access{};
  sem_t available{};
  std::array<std::uint8_t, max_queue_size> ring{};
};

std::mutex table_mutex;
std::array<queue_slot, HDTX_OS_QUEUES> table;

queue_slot *lookup(unsigned number) {
  std::lock_guard lock(table_mutex);
  if (number >= table.size() || !table[number].used)
    return nullptr;
  return &table[number];
}

hdtx_err wait_on(sem_t *sem, const char *function, int line) {
  while (sem_wait(sem) != 0) {
    if (errno != EINTR) {
      hdtx_os_log_error(function, line, errno);
      return HDTX_ERR_SEMAPHORE;
    }
  }
  return HDTX_OK;
}

hdtx_err post(sem_t *sem, const char *function, int line) {
  if (sem_post(sem) == 0)
    return HDTX_OK;
  hdtx_os_log_error(function, line, errno);
  return HDTX_ERR_SEMAPHORE;
}

} // namespace

hdtx_err hdtx_os_queue_create(unsigned size, unsigned *number) {
  if (number == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  if (size == 0 || size > max_queue_size)
    return HDTX_ERR_BAD_PARAMETER;
  std::lock_guard lock(table_mutex);
  for (unsigned i = 0; i < table.size(); ++i) {
    queue_slot &q = table[i];
    if (q.used)
      continue;
    if (sem_init(&q.access, 0, 1) != 0) {
      hdtx_os_log_error(__func__, __LINE__, errno);
      return HDTX_ERR_SEMAPHORE;
    }
    if (sem_init(&q.available, 0, 0) != 0) {
      hdtx_os_log_error(__func__, __LINE__, errno);
      sem_destroy(&q.access);
      return HDTX_ERR_SEMAPHORE;
    }
    q.size = size;
    q.read_index = 0;
    q.write_index = 0;
    q.count = 0;
    q.used = true;
    *number = i;
    return HDTX_OK;
  }
  return HDTX_ERR_NO_RESOURCES;
}

hdtx_err hdtx_os_queue_send(unsigned number, std::uint8_t message) {
  queue_slot *q = lookup(number);
  if (q == nullptr)
    return HDTX_ERR_BAD_OS_OBJECT;
  hdtx_err err = wait_on(&q->access, __func__, __LINE__);
  if (err != HDTX_OK)
    return err;
  if (q->count == q->size) {
    post(&q->access, __func__, __LINE__);
    syslog(LOG_INFO, "Queue is full");
    return HDTX_ERR_QUEUE_FULL;
  }
  q->ring[q->write_index] = message;
  q->write_index = (q->write_index + 1) % q->size;
  ++q->count;
  err = post(&q->access, __func__, __LINE__);
  hdtx_err posted = post(&q->available, __func__, __LINE__);
  return err != HDTX_OK ? err : posted;
}

hdtx_err hdtx_os_queue_receive(unsigned number, std::uint8_t *message) {
  if (message == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  queue_slot *q = lookup(number);
  if (q == nullptr)
    return HDTX_ERR_BAD_OS_OBJECT;
  hdtx_err err = wait_on(&q->available, __func__, __LINE__);
  if (err == HDTX_OK)
    err = wait_on(&q->access, __func__, __LINE__);
  if (err != HDTX_OK)
    return err;
  *message = q->ring[q->read_index];
  q->read_index = (q->read_index + 1) % q->size;
  --q->count;
  return post(&q->access, __func__, __LINE__);
}

hdtx_err hdtx_os_queue_count(unsigned number, unsigned *count) {
  if (count == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  queue_slot *q = lookup(number);
  if (q == nullptr)
    return HDTX_ERR_BAD_OS_OBJECT;
  hdtx_err err = wait_on(&q->access, __func__, __LINE__);
  if (err != HDTX_OK)
    return err;
  *count = q->count;
  return post(&q->access, __func__, __LINE__);
}

hdtx_err hdtx_os_queue_destroy(unsigned number) {
  std::lock_guard lock(table_mutex);
  if (number >= table.size() || !table[number].used)
    return HDTX_ERR_BAD_OS_OBJECT;
  queue_slot &q = table[number];
  q.used = false;
  hdtx_err err = HDTX_OK;
  if (sem_destroy(&q.access) != 0 || sem_destroy(&q.available) != 0) {
    hdtx_os_log_error(__func__, __LINE__, errno);
    err = HDTX_ERR_SEMAPHORE;
  }
  return err;
}
