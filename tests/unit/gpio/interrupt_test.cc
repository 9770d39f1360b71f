// The HDMI daemon's interrupt line end to end: edges raised on the simulated line reach a GLib
// main loop through ugpio and the interrupt source; the calibration pulse as the line sees it;
// the failures that must be reported.
#include "config_file.h"
#include "gpio_fixture.h"
#include "interrupt.h"
#include "log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <future>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using gpiosim::Attribute;
using gpiosim::Direction;
using gpiosim::Edge;

constexpr unsigned int PIN = 86;

// What the interrupt callback saw; the callback has no argument, so this is the one instance.
struct callback_record {
  std::mutex lock;
  std::condition_variable changed;
  unsigned int calls = 0;
  std::vector<std::thread::id> threads;
  std::function<void()> extra;

  void reset() {
    std::lock_guard<std::mutex> hold(lock);
    calls = 0;
    threads.clear();
    extra = nullptr;
  }
  bool wait_for_calls(unsigned int n, std::chrono::milliseconds limit = 3000ms) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, limit, [&] { return calls >= n; });
  }
  unsigned int count() {
    std::lock_guard<std::mutex> hold(lock);
    return calls;
  }
};
callback_record record;

void on_interrupt() {
  std::function<void()> extra;
  {
    std::lock_guard<std::mutex> hold(record.lock);
    ++record.calls;
    record.threads.push_back(std::this_thread::get_id());
    extra = record.extra;
  }
  if (extra)
    extra();
  record.changed.notify_all();
}

class interrupt_test : public gpio_test {
protected:
  void SetUp() override {
    gpio_test::SetUp();
    if (HasFatalFailure())
      return;
    record.reset();
    set_debug();
    configure_pin(static_cast<int>(PIN));
  }

  void TearDown() override {
    if (loop_thread_.joinable())
      run_on_loop([] { displinkd_interrupt_shutdown(); });
    else
      displinkd_interrupt_shutdown();
    stop_loop();
    clear_debug();
    gpio_test::TearDown();
  }

  void configure_pin(int pin) { configure(pin, 1); }

  // The daemon's main loop, on a thread of its own so that the test can drive the line.
  void start_loop() {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<std::thread::id> id;
    auto started = id.get_future();
    loop_thread_ = std::thread([this, &id] {
      g_main_context_push_thread_default(context_);
      // Told from inside the running loop, so that the loop owns its context from then on.
      GSource *idle = g_idle_source_new();
      g_source_set_callback(
          idle,
          [](gpointer p) -> gboolean {
            static_cast<std::promise<std::thread::id> *>(p)->set_value(std::this_thread::get_id());
            return G_SOURCE_REMOVE;
          },
          &id, nullptr);
      g_source_attach(idle, context_);
      g_source_unref(idle);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
    loop_thread_id_ = started.get();
  }

  void stop_loop() {
    if (!loop_thread_.joinable())
      return;
    g_main_loop_quit(loop_);
    loop_thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  // The module's main-thread calls run where the daemon runs them: on the loop's thread.
  void run_on_loop(std::function<void()> fn) {
    std::promise<void> done;
    struct call {
      std::function<void()> *fn;
      std::promise<void> *done;
    } c{&fn, &done};
    g_main_context_invoke(
        context_,
        [](gpointer p) -> gboolean {
          auto *pending = static_cast<call *>(p);
          (*pending->fn)();
          pending->done->set_value();
          return G_SOURCE_REMOVE;
        },
        &c);
    done.get_future().wait();
  }

  // Pin requested and the source armed on the loop; the report every freshly opened value file
  // makes once (as the kernel's) is taken, so that counting starts at zero.
  void arm() {
    ASSERT_TRUE(sim().set_input_level(PIN, 1));
    start_loop();
    int rc = -1;
    run_on_loop([&] {
      rc = displinkd_interrupt_init_pin();
      if (rc == 0)
        rc = displinkd_interrupt_init(loop_, on_interrupt);
    });
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(record.wait_for_calls(1));
    std::this_thread::sleep_for(20ms);
    record.reset();
  }

  void falling_edge() {
    ASSERT_TRUE(sim().set_input_level(PIN, 1));
    ASSERT_TRUE(sim().set_input_level(PIN, 0));
  }

  // No delivery within a time in which an armed line delivers many times over.
  void expect_quiet(unsigned int calls) {
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(record.count(), calls);
  }

  GMainContext *context_ = nullptr;
  GMainLoop *loop_ = nullptr;
  std::thread loop_thread_;
  std::thread::id loop_thread_id_;
};

TEST_F(interrupt_test, EdgesReachTheCallbackOnTheLoopThread) {
  arm();
  EXPECT_EQ(sim().line(PIN).direction, Direction::in);
  EXPECT_EQ(sim().line(PIN).edge, Edge::falling);
  for (unsigned int i = 1; i <= 3; ++i) {
    falling_edge();
    ASSERT_TRUE(record.wait_for_calls(i)) << "edge " << i;
  }
  // A rising edge is no interrupt.
  ASSERT_TRUE(sim().set_input_level(PIN, 1));
  expect_quiet(3);
  std::lock_guard<std::mutex> hold(record.lock);
  for (auto id : record.threads)
    EXPECT_EQ(id, loop_thread_id_);
  EXPECT_GE(log.count("calling interrupt callback function"), 3u);
}

TEST_F(interrupt_test, DisableHoldsBackAnEdgeThatEnableThenDelivers) {
  arm();
  ASSERT_EQ(displinkd_interrupt_disable(), 0);
  falling_edge();
  expect_quiet(0);
  ASSERT_EQ(displinkd_interrupt_enable(), 0);
  EXPECT_TRUE(record.wait_for_calls(1));
  falling_edge();
  EXPECT_TRUE(record.wait_for_calls(2));
}

TEST_F(interrupt_test, RepeatedEnableIsUndoneByOneDisable) {
  arm();
  ASSERT_EQ(displinkd_interrupt_enable(), 0);
  ASSERT_EQ(displinkd_interrupt_enable(), 0);
  ASSERT_EQ(displinkd_interrupt_disable(), 0);
  falling_edge();
  expect_quiet(0);
  ASSERT_EQ(displinkd_interrupt_disable(), 0);
  ASSERT_EQ(displinkd_interrupt_enable(), 0);
  EXPECT_TRUE(record.wait_for_calls(1));
}

// The transmitter library's hand-off: the callback takes the line out of the loop, a command
// thread does the work and puts it back.
TEST_F(interrupt_test, ACommandThreadReEnablesAfterEachInterrupt) {
  arm();
  std::mutex lock;
  std::condition_variable wake;
  unsigned int queued = 0;
  bool done = false;
  std::thread command([&] {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      wake.wait(hold, [&] { return queued > 0 || done; });
      if (queued == 0)
        return;
      --queued;
      hold.unlock();
      std::this_thread::sleep_for(1ms);
      displinkd_interrupt_enable();
      hold.lock();
    }
  });
  {
    std::lock_guard<std::mutex> hold(record.lock);
    record.extra = [&] {
      displinkd_interrupt_disable();
      std::lock_guard<std::mutex> q(lock);
      ++queued;
      wake.notify_one();
    };
  }
  constexpr unsigned int EDGES = 25;
  for (unsigned int i = 1; i <= EDGES; ++i) {
    falling_edge();
    ASSERT_TRUE(record.wait_for_calls(i)) << "edge " << i;
  }
  {
    std::lock_guard<std::mutex> q(lock);
    done = true;
    wake.notify_one();
  }
  command.join();
  {
    std::lock_guard<std::mutex> hold(record.lock);
    record.extra = nullptr;
    EXPECT_EQ(record.calls, EDGES);
    for (auto id : record.threads)
      EXPECT_EQ(id, loop_thread_id_);
  }
}

TEST_F(interrupt_test, ShutdownLeavesTheLineAnUnexportedOutputDrivenHigh) {
  arm();
  sim().clear_history();
  int rc = -1;
  run_on_loop([&] { rc = displinkd_interrupt_shutdown(); });
  EXPECT_EQ(rc, 0);
  const auto s = sim().line(PIN);
  EXPECT_FALSE(s.exported);
  EXPECT_EQ(s.direction, Direction::out);
  EXPECT_EQ(s.value, 1);
  EXPECT_EQ(s.edge, Edge::none);
  const auto levels = sim().output_history(PIN);
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(levels[0].level, 1);
  const auto exports = sim().export_history();
  ASSERT_EQ(exports.size(), 1u);
  EXPECT_FALSE(exports[0].exported);
  EXPECT_EQ(log.count("done closing interrupt"), 1u);
  // Nothing is left to re-arm.
  EXPECT_EQ(displinkd_interrupt_enable(), 1);
}

TEST_F(interrupt_test, ShutdownGoesOnPastItsFailures) {
  arm();
  sim().fail_writes(PIN, Attribute::edge, EIO);
  int rc = 0;
  run_on_loop([&] { rc = displinkd_interrupt_shutdown(); });
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(log.count("Not possible to disable interrupt trigger: Input/output error"), 1u);
  // With its edge still set the line refuses to become an output, as the kernel's does.
  EXPECT_EQ(log.count("Not possible to set interrupt line to output: Input/output error"), 1u);
  EXPECT_FALSE(sim().line(PIN).exported);
  EXPECT_EQ(log.count("done closing interrupt"), 1u);
}

using clock_ns = std::chrono::nanoseconds;
constexpr clock_ns PULSE = 9'700'000ns;
constexpr clock_ns PULSE_LIMIT = PULSE + 40ms;

// The pulse as the line saw it: driven high, low, high; the low phase between the two writes.
clock_ns low_phase(const std::vector<gpiosim::LevelEvent> &levels) {
  if (levels.size() != 3 || levels[0].level != 1 || levels[1].level != 0 || levels[2].level != 1) {
    ADD_FAILURE() << "expected the levels 1, 0, 1; got " << levels.size() << " changes";
    return clock_ns::zero();
  }
  return levels[2].when - levels[1].when;
}

TEST_F(interrupt_test, CalibrationPulseIsNinePointSevenMillisecondsLow) {
  ASSERT_TRUE(sim().set_input_level(PIN, 1));
  ASSERT_EQ(displinkd_interrupt_init_pin(), 0);
  sim().clear_history();
  ASSERT_EQ(displinkd_interrupt_init_cec_calibration(), 0);
  EXPECT_EQ(sim().line(PIN).direction, Direction::out);
  EXPECT_EQ(sim().line(PIN).edge, Edge::none);
  ASSERT_EQ(displinkd_interrupt_perform_cec_calibration(), 0);
  ASSERT_EQ(displinkd_interrupt_end_cec_calibration(), 0);

  const clock_ns low = low_phase(sim().output_history(PIN));
  EXPECT_GE(low, PULSE);
  EXPECT_LT(low, PULSE_LIMIT);
  const auto s = sim().line(PIN);
  EXPECT_EQ(s.direction, Direction::in);
  EXPECT_EQ(s.edge, Edge::falling);
  EXPECT_TRUE(s.exported);
  const auto messages = log.messages();
  const std::vector<std::string> expected{"Pulling down HDMI interrupt line",
                                          "Pulling up HDMI interrupt line"};
  EXPECT_EQ(messages, expected);
}

void ignore_signal(int) {}

TEST_F(interrupt_test, ASignalDuringThePulseDoesNotShortenIt) {
  ASSERT_EQ(displinkd_interrupt_init_pin(), 0);
  ASSERT_EQ(displinkd_interrupt_init_cec_calibration(), 0);
  sim().clear_history();

  struct sigaction action {};
  action.sa_handler = ignore_signal; // no SA_RESTART: the sleep returns EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> finished{false};
  const pthread_t caller = pthread_self();
  std::thread interrupter([&] {
    while (sim().output_history(PIN).empty() && !finished)
      std::this_thread::sleep_for(100us);
    while (!finished) {
      pthread_kill(caller, SIGUSR1);
      std::this_thread::sleep_for(2ms);
    }
  });
  const int rc = displinkd_interrupt_perform_cec_calibration();
  finished = true;
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(rc, 0);
  auto levels = sim().output_history(PIN);
  levels.insert(levels.begin(), gpiosim::LevelEvent{clock_ns::zero(), 1});
  const clock_ns low = low_phase(levels);
  EXPECT_GE(low, PULSE);
  EXPECT_EQ(log.count("Calibration delay interrupted, CEC clock may be out of skew"), 1u);
}

TEST_F(interrupt_test, RequestFailuresAreReportedAndLeaveNothingBehind) {
  configure_pin(static_cast<int>(LINES) + 88);
  EXPECT_EQ(displinkd_interrupt_init_pin(), 1);
  EXPECT_EQ(log.count("Failed when requesting gpio 600 (HDMI_IRQ_PIN) for interrupt"), 1u);

  configure_pin(static_cast<int>(PIN));
  sim().fail_opens(PIN, Attribute::value, EACCES);
  EXPECT_EQ(displinkd_interrupt_init_pin(), 1);
  EXPECT_EQ(log.count("fd open for gpio pin 86 returned Permission denied"), 1u)
      << testing::PrintToString(log.messages());
  EXPECT_FALSE(sim().line(PIN).exported) << "the requested line is released again";

  // Nothing was kept: every later step refuses for want of a pin.
  start_loop();
  int rc = 0;
  run_on_loop([&] { rc = displinkd_interrupt_init(loop_, on_interrupt); });
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(log.count("Interrupt pin not initialised"), 1u);
  EXPECT_EQ(displinkd_interrupt_enable(), 1);
}

TEST_F(interrupt_test, InitNeedsACallbackAndAPin) {
  start_loop();
  int rc = 0;
  run_on_loop([&] { rc = displinkd_interrupt_init(loop_, nullptr); });
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(log.count("Interrupt callback function undefined"), 1u);
  run_on_loop([&] { rc = displinkd_interrupt_init(loop_, on_interrupt); });
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(log.count("Interrupt pin not initialised"), 1u);
  for (auto step : {displinkd_interrupt_init_cec_calibration, displinkd_interrupt_perform_cec_calibration,
                    displinkd_interrupt_end_cec_calibration})
    EXPECT_EQ(step(), 1);
  EXPECT_EQ(log.count("IRQ pin not enabled"), 3u);
  EXPECT_EQ(sim().export_history().size(), 0u);
}

TEST_F(interrupt_test, LineFailuresNameTheStepAndTheCause) {
  struct row {
    const char *name;
    Attribute file;
    std::function<int()> before;
    std::function<int()> step;
    const char *message; // nullptr: failure without a message of its own
  };
  // Only the errors count here.
  clear_debug();
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  const std::vector<row> rows{
      {"init, edge", Attribute::edge, nullptr, [&] { return displinkd_interrupt_init(loop, on_interrupt); },
       "Not possible to enable interrupt trigger: Input/output error"},
      {"init, input", Attribute::direction, nullptr,
       [&] { return displinkd_interrupt_init(loop, on_interrupt); }, nullptr},
      {"calibration start, edge", Attribute::edge, nullptr, displinkd_interrupt_init_cec_calibration,
       "Not possible to disable interrupt trigger: Input/output error"},
      {"calibration start, output", Attribute::direction, nullptr, displinkd_interrupt_init_cec_calibration,
       "Not possible to set interrupt line to output: Input/output error"},
      {"calibration pulse", Attribute::value, displinkd_interrupt_init_cec_calibration,
       displinkd_interrupt_perform_cec_calibration,
       "Not possible to change value on gpio to 0: Input/output error"},
      {"calibration end, input", Attribute::direction, displinkd_interrupt_init_cec_calibration,
       displinkd_interrupt_end_cec_calibration, nullptr},
      {"calibration end, edge", Attribute::edge, displinkd_interrupt_init_cec_calibration,
       displinkd_interrupt_end_cec_calibration,
       "Not possible to enable interrupt trigger: Input/output error"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(displinkd_interrupt_init_pin(), 0);
    if (r.before) {
      ASSERT_EQ(r.before(), 0);
    }
    sim().fail_writes(PIN, r.file, EIO);
    const size_t logged = log.messages().size();
    EXPECT_EQ(r.step(), 1);
    const auto all = log.messages();
    const std::vector<std::string> messages(all.begin() + static_cast<std::ptrdiff_t>(logged), all.end());
    if (r.message != nullptr) {
      EXPECT_EQ(messages, std::vector<std::string>{r.message});
    } else {
      EXPECT_TRUE(messages.empty());
    }
    sim().fail_writes(PIN, r.file, 0);
    ASSERT_EQ(displinkd_interrupt_shutdown(), 0);
  }
  g_main_loop_unref(loop);
}

} // namespace
