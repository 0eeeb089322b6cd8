#include "encoders/free_cores.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora::detail {
namespace {

// Reads the start of a small file below `directory` into `text`, ended by a
// NUL; false when it cannot be read.
template <std::size_t size> bool read_start(int directory, const char* path, char (&text)[size]) {
  const int file = openat(directory, path, O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return false;
  }
  const ssize_t count = read(file, text, size - 1);
  close(file);
  if (count <= 0) {
    return false;
  }
  text[count] = '\0';
  return true;
}

// Runnable threads of the whole machine, the caller among them: the number
// before the slash in the fourth field of /proc/loadavg ("0.50 0.41 0.30
// 3/190 4711"); -1 when unknown.
int machine_runnable() {
  char text[128];
  if (!read_start(AT_FDCWD, "/proc/loadavg", text)) {
    return -1;
  }
  const char* field = text;
  for (int skipped = 0; skipped < 3; ++skipped) {
    field = std::strchr(field, ' ');
    if (field == nullptr) {
      return -1;
    }
    ++field;
  }
  return std::atoi(field);
}

// Runnable threads of this process, the caller among them: those whose state
// in /proc/self/task/<id>/stat, after the parenthesised command name, is R.
int own_runnable() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return 1;
  }
  int count = 0;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') {
      continue;
    }
    char text[512];
    const std::string path = std::string(task->d_name) + "/stat";
    if (!read_start(dirfd(tasks), path.c_str(), text)) {
      continue;
    }
    const char* name_end = std::strrchr(text, ')');
    if (name_end != nullptr && name_end[1] == ' ' && name_end[2] == 'R') {
      ++count;
    }
  }
  closedir(tasks);
  return std::max(count, 1);
}

} // namespace

int free_cores(int team) {
  if (team <= 1) {
    return team;
  }
  const int cores = get_nprocs();
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  // Other processes may be running on cores this one may not use: their
  // threads then tell nothing about the cores it has.
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < cores) {
    return team;
  }
  const int runnable = machine_runnable();
  if (runnable < 0) {
    return team;
  }
  int others = runnable - 1;
  if (cores - others >= team) {
    return team; // room for the whole team even if no runnable thread is this process's
  }
  // This process's own runnable threads beside the caller: at most a team's
  // worth of them are the team's, spinning since its last gathering.
  others -= std::min(own_runnable() - 1, team - 1);
  return std::clamp(cores - std::max(others, 0), 1, team);
}

} // namespace velmora::detail
