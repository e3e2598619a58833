#pragma once
// The file operations of the task's record files and tiles (open, write,
// fsync, rename, ftruncate, unlink), in one place so that a test can arm a
// fault: "the Nth operation from now fails with this errno" (once, or from
// then on, as a disk that stays full), or "the process ends at the Nth
// operation" (_exit, as a kill would). Unarmed, each call is the system call
// behind one relaxed atomic load. The layer also counts operations and
// fsyncs while counting is on, so a test or a benchmark can see how many a
// save costs.
#include <cstddef>
#include <sys/types.h>

namespace kartivo::platform::fileops {

// The system calls, with the fault plan applied. Same results and errno.
int Open(const char* path, int flags, mode_t mode = 0);
ssize_t Write(int fd, const void* data, std::size_t size);
int Fsync(int fd);
int Rename(const char* from, const char* to);
int Ftruncate(int fd, off_t length);
int Unlink(const char* path);

// Writes all of the bytes, retrying short writes and interrupted calls.
bool WriteAll(int fd, const void* data, std::size_t size);
// Flushes the folder that holds `path` (so that a rename in it is durable);
// a file system that cannot flush a folder is not an error.
void FsyncFolderOf(const char* path);

// What the armed operation does.
enum class FaultKind {
    FailOnce,    // the Nth operation fails with the error; later ones succeed
    FailFromNow, // the Nth and every later operation fail with the error
    Exit         // the process ends (_exit with status 86) at the Nth operation
};

inline constexpr int kFaultExitStatus = 86;

// Arms a fault at the nth operation counted from now (1: the next one).
// Turns counting on and resets the counts.
void ArmFault(long long nth, FaultKind kind, int error = 0);
// Removes any fault; counting stays as it was.
void Disarm();

// Counting without a fault (also on while a fault is armed).
void StartCounting(); // resets the counts
void StopCounting();
long long OperationCount(); // every operation above since counting began
long long FsyncCount();     // of which fsyncs (files and folders)

} // namespace kartivo::platform::fileops
