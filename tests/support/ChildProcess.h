// Child processes for tests of state shared between processes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/TestSupport.h"

// Runs `body` in a forked child whose exit code is what `body` returns.
template <typename F>
pid_t Spawn(F body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(static_cast<int>(body()));
  return pid;
}

// The child's exit code, or 128 + the signal that ended it.
inline int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Makes an empty file of `mode`, given to `owner` when that is not -1.
inline void MakeFile(const std::string& path, mode_t mode, uid_t owner = uid_t(-1)) {
  close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  if (chmod(path.c_str(), mode) != 0 || chown(path.c_str(), owner, owner) != 0) ADD_FAILURE() << path;
}

// Points KEYLOOM_MACHINE_HOME, for the scope, at a folder that cannot be
// created: below a read-only folder of `homes`, or, for root (who writes
// through modes), below sysfs, which refuses new folders even to root.
class ScopedUnwritableMachineHome {
 public:
  explicit ScopedUnwritableMachineHome(const ScopedSoftHomes& homes)
      : locked_(homes.root() + "/locked"),
        ok_(mkdir(locked_.c_str(), 0500) == 0),
        env_("KEYLOOM_MACHINE_HOME",
             (geteuid() == 0 ? std::string("/sys/keyloom-machine") : locked_ + "/machine").c_str()) {}
  ~ScopedUnwritableMachineHome() { chmod(locked_.c_str(), 0700); }
  bool ok() const { return ok_; }

 private:
  std::string locked_;
  bool ok_;
  ScopedEnv env_;
};
