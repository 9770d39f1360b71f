#include "aes.h"

void tun_aes_deleter::operator()(tun_aes *a) const {
  if (a == nullptr) {
    return;
  }
  // A running worker lives as long as the process; a record is only released before it starts.
  if (a->thread.joinable()) {
    a->thread.detach();
  }
  EVP_CIPHER_CTX_free(a->ctx);
  EVP_PKEY_free(a->pkey);
  delete a;
}

tun_aes_ptr aes_new(NKCx *nk) {
  tun_aes_ptr a(new tun_aes{});
  a->nk = nk;
  return a;
}

#include "aes_exchange.h"

// Key replies follow with the encryption work; until then no request is answered.
const tun_packet_header *aes_get_response_packet(tun_aes * /*a*/, std::span<const std::uint8_t> /*request*/) {
  return nullptr;
}
