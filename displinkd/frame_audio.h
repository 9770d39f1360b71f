// The audio device of the platform, opened once so that the audio clocks feeding the HDMI
// transmitter and the SDI serialiser start running, then closed again.
#pragma once

// Opens "hw:0,0" for capture, installs 2 channels of 16-bit little-endian samples at 48 kHz
// (interleaved), closes it. Every failure is logged and the next step still runs; a device that
// is already open is left alone. `announce` logs the debug line "Initializing audio" first.
void init_audio(bool announce);
