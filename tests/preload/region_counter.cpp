// Preloaded into a test process (LD_PRELOAD), counts the OpenMP parallel
// regions the process opens and how many of them ran with a team of more
// than one thread. Every region of the GNU OpenMP runtime starts in one of
// the GOMP_parallel entry points, whoever opens it: the tensor library's
// loops, the kernel and BLAS libraries, compiled packages and this library's
// own units. The counts are read through velmora_parallel_regions() and
// velmora_team_regions() (ctypes or dlsym).

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstring>

namespace {

using Task = void (*)(void*);

std::atomic<long> regions{0};
std::atomic<long> team_regions{0};

// The runtime this process loaded. The tensor library brings its own copy,
// loaded local to the library that needs it, so the global scope may not
// hold it: look for it among the loaded objects too.
void* runtime_symbol(const char* name) {
  if (void* found = dlsym(RTLD_NEXT, name)) {
    return found;
  }
  struct Search {
    const char* name;
    void* found;
  } search{name, nullptr};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* wanted = static_cast<Search*>(data);
        if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libgomp") == nullptr) {
          return 0;
        }
        if (void* handle = dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD)) {
          wanted->found = dlsym(handle, wanted->name);
          dlclose(handle);
        }
        return wanted->found != nullptr ? 1 : 0;
      },
      &search);
  return search.found;
}

template <class Function> Function runtime(const char* name) {
  return reinterpret_cast<Function>(runtime_symbol(name));
}

int team_size() {
  static const auto get = runtime<int (*)()>("omp_get_num_threads");
  return get();
}

int thread_number() {
  static const auto get = runtime<int (*)()>("omp_get_thread_num");
  return get();
}

// What every thread of a region runs first: the region's first thread
// counts it by the size of the team that actually started.
struct Region {
  Task task;
  void* data;
};

void counted(void* data) {
  const auto* region = static_cast<const Region*>(data);
  if (thread_number() == 0) {
    regions.fetch_add(1);
    if (team_size() > 1) {
      team_regions.fetch_add(1);
    }
  }
  region->task(region->data);
}

} // namespace

extern "C" {

long velmora_parallel_regions() {
  return regions.load();
}

long velmora_team_regions() {
  return team_regions.load();
}

void GOMP_parallel(Task task, void* data, unsigned threads, unsigned flags) {
  static const auto next = runtime<void (*)(Task, void*, unsigned, unsigned)>("GOMP_parallel");
  Region region{task, data};
  next(counted, &region, threads, flags);
}

void GOMP_parallel_sections(Task task, void* data, unsigned threads, unsigned count,
                            unsigned flags) {
  static const auto next =
      runtime<void (*)(Task, void*, unsigned, unsigned, unsigned)>("GOMP_parallel_sections");
  Region region{task, data};
  next(counted, &region, threads, count, flags);
}

// The old split entry: the caller runs the task itself between start and end.
void GOMP_parallel_start(Task task, void* data, unsigned threads) {
  static const auto next = runtime<void (*)(Task, void*, unsigned)>("GOMP_parallel_start");
  next(task, data, threads);
  regions.fetch_add(1);
  if (team_size() > 1) {
    team_regions.fetch_add(1);
  }
}

#define VELMORA_COUNTED_LOOP(name)                                                                 \
  void name(Task task, void* data, unsigned threads, long start, long end, long step, long chunk,  \
            unsigned flags) {                                                                      \
    static const auto next =                                                                       \
        runtime<void (*)(Task, void*, unsigned, long, long, long, long, unsigned)>(#name);         \
    Region region{task, data};                                                                     \
    next(counted, &region, threads, start, end, step, chunk, flags);                               \
  }
VELMORA_COUNTED_LOOP(GOMP_parallel_loop_static)
VELMORA_COUNTED_LOOP(GOMP_parallel_loop_dynamic)
VELMORA_COUNTED_LOOP(GOMP_parallel_loop_guided)
VELMORA_COUNTED_LOOP(GOMP_parallel_loop_nonmonotonic_dynamic)
VELMORA_COUNTED_LOOP(GOMP_parallel_loop_nonmonotonic_guided)
#undef VELMORA_COUNTED_LOOP

#define VELMORA_COUNTED_RUNTIME_LOOP(name)                                                         \
  void name(Task task, void* data, unsigned threads, long start, long end, long step,              \
            unsigned flags) {                                                                      \
    static const auto next =                                                                       \
        runtime<void (*)(Task, void*, unsigned, long, long, long, unsigned)>(#name);               \
    Region region{task, data};                                                                     \
    next(counted, &region, threads, start, end, step, flags);                                      \
  }
VELMORA_COUNTED_RUNTIME_LOOP(GOMP_parallel_loop_runtime)
VELMORA_COUNTED_RUNTIME_LOOP(GOMP_parallel_loop_nonmonotonic_runtime)
VELMORA_COUNTED_RUNTIME_LOOP(GOMP_parallel_loop_maybe_nonmonotonic_runtime)
#undef VELMORA_COUNTED_RUNTIME_LOOP
}
