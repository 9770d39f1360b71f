#include "counters.h"

#include "tesseltx.h"

void tun_buffer_statistics(tesseltx *t, transmission *tr) {
  auto sample = [t](transmission *x) {
    rrd_int64_add(&x->stat.tr_queue, static_cast<std::int64_t>(t->next - x->next_slice));
    rrd_int64_add(&x->stat.retr_queue, static_cast<std::int64_t>(x->stat.slices_to_resend));
  };
  if (tr != nullptr) {
    sample(tr);
    return;
  }
  for (transmission *x = t->tr; x != nullptr; x = x->next) {
    sample(x);
  }
}
