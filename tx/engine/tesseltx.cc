#include "tesseltx.h"

#include <cstdlib>
#include <unistd.h>

tesseltx *_t = nullptr;

void slice_ring_deleter::operator()(tun_slice *p) const {
  std::free(p);
}

tesseltx::~tesseltx() {
  // The encryption worker reads the ring and this very pointer through _t: it ends before
  // anything goes.
  aes_stop(aes.get());
  aes.reset();
  while (tr != nullptr) {
    transmission *next_tr = tr->next;
    if (tr->sock >= 0) {
      close(tr->sock);
    }
    delete tr;
    tr = next_tr;
  }
  if (socket > 0) {
    close(socket);
  }
  if (_t == this) {
    _t = nullptr;
  }
}
