// The message family, one body per row of cec_messages.def: encode the operands, send the frame.
#include "cec_unit.h"
#include "hdcec_messages.h"

#define HDCEC_MESSAGE(function, opcode, dest, ...)                                                           \
  hdcec_err function(HDCEC_PARAMS(dest, __VA_ARGS__)) {                                                      \
    cec_payload payload;                                                                                     \
    HDCEC_FOR_EACH(HDCEC_PUT, __VA_ARGS__)                                                                   \
    return cec_send(instance, HDCEC_DEST_ARG_##dest, opcode, payload);                                       \
  }
#include "cec_messages.def"
#undef HDCEC_MESSAGE
