#include "frame_audio.h"

#include "log.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <memory>

namespace {

struct hw_params_free {
  void operator()(snd_pcm_hw_params_t *p) const { snd_pcm_hw_params_free(p); }
};

} // namespace

void init_audio(bool announce) {
  if (announce)
    DL_DEBUG("%sInitializing audio");

  snd_pcm_t *pcm = nullptr;
  int rc = snd_pcm_open(&pcm, "hw:0,0", SND_PCM_STREAM_CAPTURE, 0);
  if (rc == -EBUSY) {
    // Someone already streams from it, so the clocks run: nothing to do.
    DL_INFO("%sUnable to open pcm device, it is already open");
    return;
  }
  if (rc < 0) {
    DL_ERROR("%sUnable to open pcm device: %s", snd_strerror(rc));
    return;
  }

  snd_pcm_hw_params_t *raw = nullptr;
  if (snd_pcm_hw_params_malloc(&raw) < 0) {
    DL_ERROR("%sUnable to set hw params: %s", snd_strerror(-ENOMEM));
    snd_pcm_close(pcm);
    return;
  }
  std::unique_ptr<snd_pcm_hw_params_t, hw_params_free> params(raw);

  // Each refusal is logged and the next setting still tried: installing whatever the device
  // accepts is still better than leaving its clocks stopped.
  if (snd_pcm_hw_params_any(pcm, params.get()) < 0)
    DL_ERROR("%sBroken configuration for this PCM: no configurations available");
  if (snd_pcm_hw_params_set_access(pcm, params.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
    DL_ERROR("%sAccess type not available");
  if (snd_pcm_hw_params_set_format(pcm, params.get(), SND_PCM_FORMAT_S16_LE) < 0)
    DL_ERROR("%sSample format not available");
  if (snd_pcm_hw_params_set_channels(pcm, params.get(), 2) < 0)
    DL_ERROR("%sChannels count not available");
  unsigned rate = 48000;
  int dir = 0;
  (void)snd_pcm_hw_params_set_rate_near(pcm, params.get(), &rate, &dir);
  rc = snd_pcm_hw_params(pcm, params.get());
  if (rc < 0)
    DL_ERROR("%sUnable to set hw params: %s", snd_strerror(rc));

  snd_pcm_close(pcm);
}
