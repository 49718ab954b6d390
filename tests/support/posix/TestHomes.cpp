// The soft platform's part of the test support: homes are folders named by
// environment variables, commands run through the shell.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

std::string NewTempFolder() {
  char pattern[] = "/tmp/keyloom-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made) mkdir((std::string(made) + "/tmp").c_str(), 0700);
  return made ? made : "/nonexistent";
}

}  // namespace

struct ScopedSoftHomes::Saved {
  ScopedEnv temp, user, machine;
};

ScopedSoftHomes::ScopedSoftHomes()
    : root_(NewTempFolder()), user_(root_ + "/user"), machine_(root_ + "/machine"), temp_(root_ + "/tmp") {
  saved_.reset(new Saved{{"TMPDIR", temp_.c_str()},
                         {"KEYLOOM_HOME", user_.c_str()},
                         {"KEYLOOM_MACHINE_HOME", machine_.c_str()}});
}

ScopedSoftHomes::~ScopedSoftHomes() {
  saved_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* v = getenv(name)) had_ = true, saved_ = v;
  if (value) setenv(name, value, 1);
  else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_) setenv(name_.c_str(), saved_.c_str(), 1);
  else unsetenv(name_.c_str());
}

int RunCommand(const std::string& command, std::string* output, bool mergeStderr) {
  const std::string full = mergeStderr ? command + " 2>&1" : command;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool UnderWine() { return false; }
