#pragma once
// The crash report's facts on POSIX, found without heap, locks or a second fault, so that
// the fault handler can gather them on its signal stack.
//
// Modules come from /proc/self/maps, read with open/read at the time of the fault. That
// is async-signal-safe (dl_iterate_phdr takes the loader's lock and is not), and it is
// always current, so a renderer library that the host loaded after the trap was installed
// is named as well as one loaded before; a snapshot taken at install time would have to
// be refreshed, and swapped safely against a handler running on another thread. The cost,
// one pass over the file per lookup, is paid only when a report is written.

#include <cstddef>
#include <cstdint>

#include "diag/crash_report.h"

namespace paravelle::diag::posix {

// What /proc/<pid>/maps says about one address.
struct MappingHit {
  bool mapped = false;
  bool executable = false;
  bool in_module = false;          // a file mapping (not anonymous memory or [vdso])
  std::uintptr_t module_base = 0;  // where the module's first mapping starts
};

// Working memory of a maps scan: the read buffer and one line.
struct MapsScratch {
  char read_buffer[4096];
  char line[4096 + 256];
};

// Reads a maps listing from fd and finds the line holding address. A module is a run of
// mappings of one file that starts with its mapping at file offset 0, the way the dynamic
// loader maps an object; its path is copied into path (terminated, cut to fit).
bool find_mapping(int fd, std::uintptr_t address, MappingHit& hit, char* path, std::size_t path_capacity,
                  MapsScratch& scratch);

// Copies n bytes of our own memory at address into out, or returns false when any of them
// cannot be read; never faults. Uses process_vm_readv on our own pid, and where that
// call is not allowed (seccomp, old kernel) lets write() into a pipe tell readability.
bool read_own_memory(std::uintptr_t address, void* out, std::size_t n);

// Makes read_own_memory's pipe ready; called when the trap is installed (not async-safe).
void prepare_memory_reader();

// Test seam: forces read_own_memory to use the pipe.
void use_pipe_memory_reader(bool enabled);

// The local time zone's offset from UTC in seconds at this moment (not async-safe); the
// report shows module dates with the offset in force when the trap was last armed, as
// Windows shows file times with the current bias.
long current_utc_offset();

class PosixCrashProbe final : public CrashProbe {
 public:
  struct Scratch {
    MapsScratch maps;
    char module_path[4096];
  };

  PosixCrashProbe(Scratch& memory, long utc_offset_seconds) : memory_(memory), utc_offset_(utc_offset_seconds) {}

  std::size_t executable_path(char* out, std::size_t capacity) override;
  bool find_module(std::uintptr_t address, ModuleInfo& module) override;
  bool modified_date(const ModuleInfo& module, CivilDate& date) override;
  bool read_memory(std::uintptr_t address, void* out, std::size_t n) override;
  bool is_code(std::uintptr_t address) override;

 private:
  const MappingHit& lookup(std::uintptr_t address);

  Scratch& memory_;
  long utc_offset_;
  bool cached_ = false;
  std::uintptr_t cached_address_ = 0;
  MappingHit hit_;
};

}  // namespace paravelle::diag::posix
