#include "frame_privileges.h"

#include "log.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// The texts differ only in their closing full stops; %m needs errno as the failing call left it.
void log_no_user(privilege_wording w, const char *name) {
  if (w == privilege_wording::hdmi)
    DL_ERROR("%sCouldn't get uid for user \"%s\"", name);
  else
    DL_ERROR("%sCouldn't get uid for user \"%s\".", name);
}

void log_no_group(privilege_wording w, const char *name) {
  if (w == privilege_wording::hdmi)
    DL_ERROR("%sCouldn't get gid for group \"%s\"", name);
  else
    DL_ERROR("%sCouldn't get gid for group \"%s\".", name);
}

void log_setgid(privilege_wording w, int gid, int error) {
  errno = error;
  if (w == privilege_wording::hdmi)
    DL_ERROR("%sFailed setting gid to %d: %m\n", gid);
  else
    DL_ERROR("%sFailed setting gid to %d: %m", gid);
}

void log_initgroups(const char *name, int gid, int error) {
  errno = error;
  DL_ERROR("%sUnable to run initgroups() with username: %s, gid: %d: %m", name, gid);
}

void log_setuid(int uid, int error) {
  errno = error;
  DL_ERROR("%sFailed setting uid to %d: %m", uid);
}

bool fail(privilege_wording w) {
  if (w == privilege_wording::hdmi)
    DL_ERROR("%sFailed setting uid and gid of the process");
  else
    DL_ERROR("%sFailed setting uid and gid of the process.");
  return false;
}

} // namespace

bool drop_privileges(const char *name, privilege_wording wording) {
  const passwd *user = getpwnam(name);
  if (user == nullptr) {
    log_no_user(wording, name);
    return fail(wording);
  }
  const uid_t uid = user->pw_uid;
  const group *grp = getgrnam(name);
  if (grp == nullptr) {
    log_no_group(wording, name);
    return fail(wording);
  }
  const gid_t gid = grp->gr_gid;
  if (setgid(gid) != 0) {
    log_setgid(wording, static_cast<int>(gid), errno);
    return fail(wording);
  }
  if (initgroups(name, gid) != 0) {
    log_initgroups(name, static_cast<int>(gid), errno);
    return fail(wording);
  }
  if (setuid(uid) != 0) {
    log_setuid(static_cast<int>(uid), errno);
    return fail(wording);
  }
  return true;
}
