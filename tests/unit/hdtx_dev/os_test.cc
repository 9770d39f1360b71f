// The OS layer alone: queue order and capacity, slot exhaustion, bad object numbers, tasks that
// really run, and the replaceable wait.
#include "capture.h"
#include "hdtx_os.h"

#include <gtest/gtest.h>

#include <atomic>
#include <syslog.h>
#include <vector>

namespace {

struct Queue {
  explicit Queue(unsigned size) { EXPECT_EQ(hdtx_os_queue_create(size, &number), HDTX_OK); }
  ~Queue() { hdtx_os_queue_destroy(number); }
  unsigned number = 0;
};

std::vector<std::uint8_t> drain(unsigned queue) {
  std::vector<std::uint8_t> out;
  unsigned count = 0;
  EXPECT_EQ(hdtx_os_queue_count(queue, &count), HDTX_OK);
  for (unsigned i = 0; i < count; ++i) {
    std::uint8_t m = 0;
    EXPECT_EQ(hdtx_os_queue_receive(queue, &m), HDTX_OK);
    out.push_back(m);
  }
  return out;
}

TEST(OsQueue, FullQueueRefusesAndKeepsWhatItHolds) {
  Queue q(4);
  // Wrap the ring once so that a full queue's indices are not the trivial ones.
  ASSERT_EQ(hdtx_os_queue_send(q.number, 9), HDTX_OK);
  ASSERT_EQ(drain(q.number), std::vector<std::uint8_t>{9});
  for (unsigned m = 1; m <= 4; ++m)
    ASSERT_EQ(hdtx_os_queue_send(q.number, static_cast<std::uint8_t>(m)), HDTX_OK);
  {
    // Syslog copies each message to standard error with LOG_PERROR.
    openlog("hdtx_dev_test", LOG_PERROR, LOG_USER);
    fd_capture err;
    EXPECT_EQ(hdtx_os_queue_send(q.number, 5), HDTX_ERR_QUEUE_FULL);
    EXPECT_EQ(hdtx_os_queue_send(q.number, 6), 0x88241021u);
    EXPECT_NE(err.text().find("Queue is full"), std::string::npos) << err.text();
    closelog();
  }
  EXPECT_EQ(drain(q.number), (std::vector<std::uint8_t>{1, 2, 3, 4}));
  ASSERT_EQ(hdtx_os_queue_send(q.number, 7), HDTX_OK);
  EXPECT_EQ(drain(q.number), std::vector<std::uint8_t>{7});
}

TEST(OsQueue, ReceiveWaitsForASender) {
  Queue q(2);
  std::atomic<int> got{-1};
  unsigned task = 0;
  static unsigned queue_number;
  static std::atomic<int> *result;
  queue_number = q.number;
  result = &got;
  ASSERT_EQ(hdtx_os_task_create(
                [] {
                  std::uint8_t m = 0;
                  if (hdtx_os_queue_receive(queue_number, &m) == HDTX_OK)
                    result->store(m);
                },
                250, 128, &task),
            HDTX_OK);
  ASSERT_EQ(hdtx_os_task_start(task), HDTX_OK);
  EXPECT_EQ(hdtx_os_task_start(task), HDTX_ERR_TASK_STARTED);
  ASSERT_EQ(hdtx_os_queue_send(q.number, 42), HDTX_OK);
  ASSERT_EQ(hdtx_os_task_join(task), HDTX_OK);
  EXPECT_EQ(got.load(), 42);
}

TEST(OsSlots, EveryTableRunsOutAndRefusesUnknownNumbers) {
  std::vector<unsigned> queues;
  unsigned n = 0;
  while (hdtx_os_queue_create(1, &n) == HDTX_OK)
    queues.push_back(n);
  EXPECT_EQ(queues.size(), HDTX_OS_QUEUES);
  EXPECT_EQ(hdtx_os_queue_create(1, &n), HDTX_ERR_NO_RESOURCES);
  for (unsigned q : queues)
    EXPECT_EQ(hdtx_os_queue_destroy(q), HDTX_OK);

  std::vector<unsigned> tasks;
  while (hdtx_os_task_create([] {}, 1, 1, &n) == HDTX_OK)
    tasks.push_back(n);
  EXPECT_EQ(tasks.size(), HDTX_OS_TASKS);
  for (unsigned t : tasks)
    EXPECT_EQ(hdtx_os_task_destroy(t), HDTX_OK);

  std::vector<unsigned> sems;
  while (hdtx_os_semaphore_create(&n) == HDTX_OK)
    sems.push_back(n);
  EXPECT_EQ(sems.size(), HDTX_OS_SEMAPHORES);
  for (unsigned s : sems)
    EXPECT_EQ(hdtx_os_semaphore_destroy(s), HDTX_OK);

  std::uint8_t m = 0;
  const struct {
    const char *what;
    hdtx_err err;
  } refused[] = {
      {"send", hdtx_os_queue_send(0, 1)},
      {"receive", hdtx_os_queue_receive(7, &m)},
      {"destroy queue", hdtx_os_queue_destroy(0)},
      {"start", hdtx_os_task_start(0)},
      {"destroy task", hdtx_os_task_destroy(99)},
      {"P", hdtx_os_semaphore_p(0)},
      {"V", hdtx_os_semaphore_v(5)},
      {"destroy semaphore", hdtx_os_semaphore_destroy(0)},
  };
  for (const auto &r : refused)
    EXPECT_EQ(r.err, HDTX_ERR_BAD_OS_OBJECT) << r.what;
  EXPECT_EQ(hdtx_os_queue_create(0, &n), HDTX_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_os_queue_create(256, &n), HDTX_ERR_BAD_PARAMETER);
}

} // namespace
