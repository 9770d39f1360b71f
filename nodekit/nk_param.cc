#include "nk_param.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

int nk_param_str(const char *params, const char *param, char *buffer, int blen) {
  const std::size_t n = std::strlen(param);
  const char *item = params;
  while (item != nullptr && *item != '\0') {
    const char *comma = std::strchr(item, ',');
    while (*item == ' ' || *item == '\t') {
      ++item;
    }
    const char *item_end = comma ? comma : item + std::strlen(item);
    if (static_cast<std::size_t>(item_end - item) > n && std::strncmp(item, param, n) == 0 &&
        item[n] == '=') {
      if (blen <= 0) {
        return 1;
      }
      const char *value = item + n + 1;
      auto len = static_cast<std::size_t>(item_end - value);
      if (len > static_cast<std::size_t>(blen - 1)) {
        len = static_cast<std::size_t>(blen - 1);
      }
      std::memcpy(buffer, value, len);
      buffer[len] = '\0';
      return 1;
    }
    item = comma ? comma + 1 : nullptr;
  }
  return 0;
}

int nk_param_num(const char *params, const char *param, int def) {
  char value[128];
  if (!nk_param_str(params, param, value, sizeof value) || value[0] == '\0') {
    return def;
  }
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(value, &end, 0);
  if (end == value || (*end != '\0' && *end != ' ' && *end != '\t')) {
    return def;
  }
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) {
    return def;
  }
  return static_cast<int>(v);
}

int nk_parse_pid_list(NKCx *c, const char *arg, unsigned char *pid_table) {
  const char *pos = arg;
  for (;;) {
    char *end = nullptr;
    long pid = std::strtol(pos, &end, 0);
    if (end == pos) {
      nk_error(c, "Invalid PID list: %s", arg);
      return 0;
    }
    if (pid < 0 || pid >= 8192) {
      int shown = pid > INT_MAX ? INT_MAX : (pid < INT_MIN ? INT_MIN : static_cast<int>(pid));
      nk_error(c, "Invalid PID: %d (0x%x)", shown, static_cast<unsigned>(shown));
      return 0;
    }
    pid_table[pid] = 1;
    const char *comma = std::strchr(pos, ',');
    if (comma == nullptr) {
      return 1;
    }
    pos = comma + 1;
  }
}
